// An output file the simulator writes (--trace, --plot), written on a thread of its own: a path
// that blocks (a FIFO nobody reads, a device, a file on a network disk that does not answer)
// never holds the simulator, which keeps seeing its line and its signals and removes its port
// map entry whatever the file does. At the end it waits a bounded time for the file and then
// gives it up.
#pragma once

#include <pthread.h>

#include <chrono>
#include <memory>
#include <string>

class CFileOut {
public:
    explicit CFileOut(std::string sPath);
    // A file still blocked is left to the end of the process.
    ~CFileOut();
    CFileOut(const CFileOut&) = delete;
    CFileOut& operator=(const CFileOut&) = delete;

    // Creates the file, or empties one of that name, and from then on writes what is added, in
    // order. False, with the reason in *pError, when no thread can be started.
    bool Start(std::string* pError);
    // A piece to write: a whole row, or the whole text. Once a write fails nothing more is
    // written, and a file that can be cut ends at the last whole piece.
    void Add(const std::string& sPiece);
    // Whether the file could not even be opened (it is told by Finish).
    bool OpenFailed() const;
    // Writes what is left and closes the file, waiting until tDeadline at most. False, with
    // "cannot write PATH: why" in *pError, when the file could not be written in full.
    bool Finish(std::chrono::steady_clock::time_point tDeadline, std::string* pError);

private:
    struct CShared;

    std::shared_ptr<CShared> m_pShared;  // also held by the thread, which may outlive this
    pthread_t m_thread{};
    bool m_bStarted = false;
};
