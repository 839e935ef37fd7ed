#pragma once

#include <cstddef>

namespace fenwright {

enum class PageUse { write, read };

// Makes every page of a shared mapping now, in one call, where the first
// touches would fault on them one by one: on a virtual machine that costs
// microseconds a page, milliseconds for a frame. Memory we only read is
// mapped many pages a fault, which is quicker still. Best effort: a kernel
// that cannot (before 5.14) leaves the pages to come as they are touched.
void populatePages(void* address, std::size_t size, PageUse use = PageUse::write);

}  // namespace fenwright
