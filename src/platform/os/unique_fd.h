// UniqueFd: the one owner of a file descriptor. It closes the descriptor in its
// destructor (ignoring errors: a caller that must know whether the close
// succeeded calls Close()), moves but never copies, and Release() hands the
// descriptor over without closing it.
#pragma once

#include <unistd.h>

#include <utility>

namespace os {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }

    int Release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (if any) and takes the new one.
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes the descriptor and reports the result (0, or -1 with errno set).
    int Close() {
        int fd = Release();
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int fd_ = -1;
};

}  // namespace os
