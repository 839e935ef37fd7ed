#include "platform/populate_pages.h"

#include <sys/mman.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace fenwright {

void populatePages(void* address, std::size_t size) {
  if (address != nullptr && size != 0) ::madvise(address, size, MADV_POPULATE_WRITE);
}

}  // namespace fenwright
