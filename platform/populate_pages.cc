#include "platform/populate_pages.h"

#include <sys/mman.h>

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#define MADV_POPULATE_WRITE 23
#endif

namespace fenwright {

void populatePages(void* address, std::size_t size, PageUse use) {
  if (address != nullptr && size != 0)
    ::madvise(address, size, use == PageUse::read ? MADV_POPULATE_READ : MADV_POPULATE_WRITE);
}

}  // namespace fenwright
