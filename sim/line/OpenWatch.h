// Programs opening the line. The kernel tells every open of the terminal device, by whatever name
// it was opened (the port map's entry, or the device itself); the simulator opens it itself only
// before it starts to watch.
#pragma once

#include <string>

class COpenWatch {
public:
    COpenWatch() = default;
    ~COpenWatch();
    COpenWatch(const COpenWatch&) = delete;
    COpenWatch& operator=(const COpenWatch&) = delete;

    // Watches sDevice from now on; false, with the reason in *pError, when the system refuses.
    bool Open(const std::string& sDevice, std::string* pError);
    // Readable when the line was opened; -1 while nothing is watched.
    int Fd() const { return m_fd; }
    // Reads what the kernel told: whether the line was opened since the last call.
    bool Opened();

private:
    int m_fd = -1;
};
