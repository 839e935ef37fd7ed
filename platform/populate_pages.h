#pragma once

#include <cstddef>

namespace fenwright {

// Makes every page of a shared mapping now, in one call, where the first
// writes would fault on them one by one: on a virtual machine that costs
// microseconds a page, milliseconds for a frame. Best effort: a kernel
// that cannot (before 5.14) leaves the pages to come as they are touched.
void populatePages(void* address, std::size_t size);

}  // namespace fenwright
