// The simulator's entry in the port map: comN -> its pseudo-terminal, there for as long as the
// object lives and only while it still points where it was made to.
#pragma once

#include <cstdint>
#include <string>

class CPortRegistration {
public:
    CPortRegistration() = default;
    ~CPortRegistration() { Unregister(); }
    CPortRegistration(const CPortRegistration&) = delete;
    CPortRegistration& operator=(const CPortRegistration&) = delete;

    // Makes sDirectory/com<n> a link to sDevice, creating the directory as needed. An entry left
    // behind that points nowhere is replaced (*pReplaced says so); any other entry is left alone
    // and the registration fails. On failure *pError says why.
    bool Register(const std::string& sDirectory, std::int32_t nPort, const std::string& sDevice,
                  bool* pReplaced, std::string* pError);

    // Removes the entry if it is still the one made here. Safe to call more than once.
    void Unregister();

    const std::string& Entry() const { return m_sEntry; }

private:
    std::string m_sEntry;
    std::string m_sDevice;
};
