// The simulator's entry in the port map: comN -> its pseudo-terminal, there for as long as the
// object lives and only while it still points where it was made to.
//
// Beside the entry the simulator holds a lock, .comN.lock, naming the device it registered. While
// a simulator runs it holds the lock, so that a second one for the same port stands back; once it
// is gone (killed, or the machine rebooted) the lock is free, and an entry that still points to
// the device the lock names was left by it and may be replaced, even after the system has given
// that pseudo-terminal's number to somebody else. A link into /dev/pts/ whose terminal is gone
// was left by some simulator too. Any other entry is the user's own, a mapping to an adapter
// that may only be unplugged: it is never touched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPortRegistration {
public:
    CPortRegistration() = default;
    ~CPortRegistration() { Unregister(); }
    CPortRegistration(const CPortRegistration&) = delete;
    CPortRegistration& operator=(const CPortRegistration&) = delete;

    // Makes sDirectory/com<n> a link to sDevice, creating the directory as needed. An entry left
    // by a simulator that no longer runs is replaced, and *pReplaced says what it was ("a link
    // to /dev/pts/7, a terminal that is gone"); it stays empty when nothing was replaced. Any
    // other entry, or one a running simulator holds, is left as it is and the registration
    // fails. On failure *pError says why.
    bool Register(const std::string& sDirectory, std::int32_t nPort, const std::string& sDevice,
                  std::string* pReplaced, std::string* pError);

    // Removes the entry if it is still the one made here, and the lock. Safe to call more than
    // once. False when either could not be removed, with a line for each in *pFailures (when
    // given): left behind, they would send a later program to a terminal that is gone.
    bool Unregister(std::vector<std::string>* pFailures = nullptr);

    const std::string& Entry() const { return m_sEntry; }

private:
    // Takes the port's lock, or says that a running simulator holds it.
    bool Lock(const std::string& sCom, std::string* pError);
    // Under the lock: makes the entry, replacing one left behind, and names the device in the
    // lock.
    bool Claim(const std::string& sCom, const std::string& sEntry, const std::string& sDevice,
               std::string* pReplaced, std::string* pError);

    std::string m_sEntry;
    std::string m_sDevice;
    std::string m_sLock;
    int m_lock = -1;
};
