// How the test machine's runner and the host's tests write a value on the machine's console: as
// one word on one line. A backslash is written \\, a space or any byte that is not printable
// ASCII \xHH.
#pragma once

#include <string>

inline std::string PlxConsoleWord(const std::string& s) {
    static const char kDigits[] = "0123456789abcdef";
    std::string sOut;
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            sOut += "\\\\";
        } else if (b > 0x20 && b < 0x7F) {
            sOut += c;
        } else {
            sOut += std::string("\\x") + kDigits[b >> 4] + kDigits[b & 0xF];
        }
    }
    return sOut;
}

inline std::string PlxFromConsoleWord(const std::string& s) {
    std::string sOut;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 2, "\\\\") == 0) {
            sOut += '\\';
            ++i;
        } else if (s.compare(i, 2, "\\x") == 0 && i + 3 < s.size()) {
            sOut += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            sOut += s[i];
        }
    }
    return sOut;
}
