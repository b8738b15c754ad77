// Descriptors and small files for the programs of the test machine (vm/).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

// One descriptor, closed with the object.
class CGuestFile {
public:
    explicit CGuestFile(int fd) : m_fd(fd) {}
    ~CGuestFile() {
        if (m_fd >= 0) ::close(m_fd);
    }
    CGuestFile(const CGuestFile&) = delete;
    CGuestFile& operator=(const CGuestFile&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// Writes sText to an existing file in one write, as sysfs and configfs take a value.
inline bool PlxPutFile(const std::string& sPath, const std::string& sText) {
    const CGuestFile file(::open(sPath.c_str(), O_WRONLY | O_CLOEXEC));
    return file.Get() >= 0 &&
           ::write(file.Get(), sText.data(), sText.size()) == static_cast<ssize_t>(sText.size());
}
