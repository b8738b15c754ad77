#include "sim/report/FileOut.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "serial/CommApi.h"

namespace {

// What may wait unwritten: beyond it, a file that takes nothing is given up rather than let
// grow in memory for as long as the simulator runs.
constexpr std::size_t kMostPending = std::size_t{64} << 20;

// Writes a batch of whole pieces; on a failure the file is cut back to the last whole piece
// that went out (a FIFO or a device cannot be cut: there the reader has had the rest). 0, or
// the reason it failed.
int WriteBatch(int fd, const std::string& sBatch, const std::vector<std::size_t>& batchEnds,
               off_t* pnWhole) {
    std::size_t nDone = 0;
    while (nDone < sBatch.size()) {
        const ssize_t n = ::write(fd, sBatch.data() + nDone, sBatch.size() - nDone);
        if (n > 0) {
            nDone += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            const int nError = n == 0 ? EIO : errno;
            std::size_t nWhole = 0;
            for (std::size_t nEnd : batchEnds)
                if (nEnd <= nDone) nWhole = nEnd;
            (void)::ftruncate(fd, *pnWhole + static_cast<off_t>(nWhole));
            return nError;
        }
    }
    *pnWhole += static_cast<off_t>(nDone);
    return 0;
}

}  // namespace

struct CFileOut::CShared {
    std::string sPath;
    std::mutex mutex;
    std::condition_variable changed;
    std::string sPending;
    std::vector<std::size_t> ends;  // where each piece in sPending ends
    bool bClosing = false;
    bool bDone = false;
    bool bOpenFailed = false;
    int nError = 0;    // the first failure's reason
    std::string sWhy;  // or words for a failure without one

    bool Failed() const { return nError != 0 || !sWhy.empty(); }

    // The thread: opens the file, writes each batch as it comes, closes it once asked to.
    void Run() {
        const int fd =
            ::open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
        const int nOpenError = errno;
        std::unique_lock<std::mutex> lock(mutex);
        if (fd < 0) {
            nError = nOpenError;
            bOpenFailed = true;
        }
        off_t nWhole = 0;  // where the last whole piece ends in the file
        while (fd >= 0 && !Failed()) {
            changed.wait(lock, [&] { return !sPending.empty() || bClosing; });
            if (sPending.empty()) break;
            std::string sBatch;
            std::vector<std::size_t> batchEnds;
            sBatch.swap(sPending);
            batchEnds.swap(ends);
            lock.unlock();
            const int nBatchError = WriteBatch(fd, sBatch, batchEnds, &nWhole);
            lock.lock();
            if (nBatchError != 0 && !Failed()) nError = nBatchError;
        }
        if (fd >= 0) {
            changed.wait(lock, [&] { return bClosing; });
            lock.unlock();
            // A network disk may report here what it could not store.
            const int nClosed = ::close(fd) == 0 ? 0 : errno;
            lock.lock();
            if (nClosed != 0 && nClosed != EINTR && !Failed()) nError = nClosed;
        }
        bDone = true;
        changed.notify_all();
    }
};

CFileOut::CFileOut(std::string sPath) : m_pShared(std::make_shared<CShared>()) {
    m_pShared->sPath = std::move(sPath);
}

CFileOut::~CFileOut() {
    if (!m_bStarted) return;
    bool bDone = false;
    {
        std::lock_guard<std::mutex> lock(m_pShared->mutex);
        m_pShared->bClosing = true;
        bDone = m_pShared->bDone;
    }
    m_pShared->changed.notify_all();
    if (bDone)
        pthread_join(m_thread, nullptr);
    else
        pthread_detach(m_thread);
}

bool CFileOut::Start(std::string* pError) {
    // The thread takes its own hold on what it shares, and no signal: those are the loop's.
    auto* pHold = new std::shared_ptr<CShared>(m_pShared);
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const int nError = pthread_create(
        &m_thread, nullptr,
        [](void* p) -> void* {
            std::unique_ptr<std::shared_ptr<CShared>> pShared(
                static_cast<std::shared_ptr<CShared>*>(p));
            (*pShared)->Run();
            return nullptr;
        },
        pHold);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (nError != 0) {
        delete pHold;
        *pError = "cannot write " + m_pShared->sPath + ": " + PlxFormatMessage(nError);
        return false;
    }
    m_bStarted = true;
    return true;
}

void CFileOut::Add(const std::string& sPiece) {
    if (sPiece.empty()) return;
    {
        std::lock_guard<std::mutex> lock(m_pShared->mutex);
        CShared& shared = *m_pShared;
        if (shared.Failed() || shared.bClosing) return;
        if (shared.sPending.size() + sPiece.size() > kMostPending) {
            shared.sWhy = "it took nothing while 64 MiB waited for it";
            return;
        }
        shared.sPending += sPiece;
        shared.ends.push_back(shared.sPending.size());
    }
    m_pShared->changed.notify_all();
}

bool CFileOut::OpenFailed() const {
    std::lock_guard<std::mutex> lock(m_pShared->mutex);
    return m_pShared->bOpenFailed;
}

bool CFileOut::Finish(std::chrono::steady_clock::time_point tDeadline, std::string* pError) {
    CShared& shared = *m_pShared;
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.bClosing = true;
    shared.changed.notify_all();
    if (!m_bStarted) return true;
    if (!shared.changed.wait_until(lock, tDeadline, [&] { return shared.bDone; })) {
        *pError = "cannot write " + shared.sPath +
                  ": it still took nothing at the end (a FIFO nobody reads, or a disk that does "
                  "not answer)";
        return false;
    }
    if (!shared.Failed()) return true;
    *pError = "cannot write " + shared.sPath + ": " +
              (shared.sWhy.empty() ? PlxFormatMessage(shared.nError) : shared.sWhy);
    return false;
}
