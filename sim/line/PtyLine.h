// A pseudo-terminal standing in for a serial line: the slave is the port a program opens, the
// master the far end. A descriptor on the slave is held too, so that the line stays up between
// programs and can be reached from this end.
#pragma once

#include <string>

class CPtyLine {
public:
    CPtyLine() = default;
    ~CPtyLine();
    CPtyLine(const CPtyLine&) = delete;
    CPtyLine& operator=(const CPtyLine&) = delete;

    // False, with the reason in *pError, when no pseudo-terminal could be had.
    bool Open(std::string* pError);

    int Master() const { return m_master; }
    int Slave() const { return m_slave; }
    const std::string& Device() const { return m_sDevice; }

    // Closes the far end: writes to the port then fail, as when the cable is pulled.
    void CloseMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_sDevice;
};
