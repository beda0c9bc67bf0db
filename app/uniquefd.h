// A file descriptor with one owner, closed when the owner goes.
#pragma once

#include <utility>

#include <unistd.h>

class UniqueFd
{
public:
    explicit UniqueFd(int fd)
        : m_fd(fd)
    { }
    ~UniqueFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); } // the caller owns it from now on
    // Some file systems (NFS) report a failed write only here.
    bool close() { return ::close(std::exchange(m_fd, -1)) == 0; }

private:
    int m_fd = -1;
};
