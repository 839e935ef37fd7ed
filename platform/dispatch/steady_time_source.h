#pragma once

#include "platform/dispatch/time_source.h"

namespace fenwright {

// The process's monotonic clock, waited on by the queue's own asio timers.
TimeSource& steadyTimeSource();

}  // namespace fenwright
