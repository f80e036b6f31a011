// A read-only view of a file, unmapped when its owner goes.
#ifndef PLATFORM_FILE_MAPPING_H
#define PLATFORM_FILE_MAPPING_H

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

class FileMapping
{
  public:
    FileMapping() = default;
    ~FileMapping()
    {
        if (data_ != MAP_FAILED)
            munmap(data_, size_);
    }
    FileMapping(const FileMapping &) = delete;
    FileMapping &operator=(const FileMapping &) = delete;

    // Maps size bytes of fd from its start; share is MAP_SHARED or
    // MAP_PRIVATE. False when mmap fails.
    bool map(int fd, size_t size, int share)
    {
        data_ = mmap(nullptr, size, PROT_READ, share, fd, 0);
        size_ = size;
        return data_ != MAP_FAILED;
    }
    const uint8_t *data() const { return static_cast<const uint8_t *>(data_); }

  private:
    void *data_ = MAP_FAILED;
    size_t size_ = 0;
};

#endif
