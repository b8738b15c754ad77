// Programs opening the line. The kernel tells every open of the terminal device, by whatever name
// it was opened (the port map's entry, or the device itself), and every last close of what an
// open gave; the simulator opens it itself only before it starts to watch. An open that finds no
// other program with the line open is a first open: on a real port the one that raises DTR.
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
    // Readable when the line was opened or closed; -1 while nothing is watched.
    int Fd() const { return m_fd; }
    // Reads what the kernel told: whether the line was first opened since the last call.
    bool FirstOpened();
    // How many opens of the line by other programs are open now; -1 when that is not known (the
    // kernel told more than it could keep), until it is seen that none is.
    int OpenNow() const { return m_nOpen; }

private:
    int m_fd = -1;
    int m_nOpen = 0;
    std::string m_sDevice;
};
