// plx-vm-chip: one USB serial adapter of the test machine of ./test --vm, made in software on a
// USB controller pair of the machine's own (dummy_hcd), so that the kernel's drivers for the chips
// people plug in drive it as they would the chip:
//   plx-vm-chip NAME UDC
//   ch340, cp2102, pl2303   a gadget of one FunctionFS function played here: the ids its driver
//                           binds to, one vendor-class interface (interrupt IN, bulk OUT, bulk
//                           IN), and every control request answered as the driver needs
//   acm                     a gadget of two configfs acm functions (a controller's command and
//                           TTL ports, as cdc_acm sees them); the first one's bytes read raw on
//                           its /dev/ttyGS*
// UDC: the controller to bind it to (dummy_udc.N). It keeps a record, /tmp/NAME.record, a line
// each: "setup TT RR VVVV IIII LLLL DATA" for a control request (type, request, value, index and
// length in hex, then the bytes either way), "out HEX" for bytes from the host, "event NAME" for
// the function's other events, "unanswered: WHY" for a request the host gave up on, and "error
// WHY" when it cannot go on.
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "vm/GuestFile.h"

namespace {

struct CChip {
    const char* pszName;
    std::uint16_t nVendor, nProduct, nDevice;
    const char* pszMaker;
    const char* pszProduct;
};

// The ids each driver binds to, and the words such a chip carries. pl2303 takes bcdDevice 0x0300
// on USB 2.0 for a current chip (type TA) when the status read below is answered.
const CChip kChips[] = {
    {"ch340", 0x1a86, 0x7523, 0x0264, "QinHeng Electronics", "USB Serial"},
    {"cp2102", 0x10c4, 0xea60, 0x0100, "Silicon Labs", "CP2102 USB to UART Bridge Controller"},
    {"pl2303", 0x067b, 0x2303, 0x0300, "Prolific Technology Inc.", "USB-Serial Controller"},
    {"acm", 0x1d6b, 0x0104, 0x0100, "Test Lab", "Two-Port Servo Controller"},
};

std::string Hex(const std::uint8_t* p, std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += std::string{kDigits[p[i] >> 4], kDigits[p[i] & 0xF]};
    return s;
}

std::string Hex16(std::uint16_t n) {
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    return Hex(bytes, 2);
}

std::string Why(const std::string& sWhat) { return sWhat + ": " + std::strerror(errno); }

// Lines are appended whole, each in one write, as two threads add them.
class CRecord {
public:
    explicit CRecord(const std::string& sPath)
        : m_file(::open(sPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {}
    void Add(const std::string& sLine) const {
        const std::string s = sLine + "\n";
        if (::write(m_file.Get(), s.data(), s.size()) < 0) return;  // nowhere else to say so
    }

private:
    CGuestFile m_file;
};

const std::string kGadgets = "/sys/kernel/config/usb_gadget/";

// The gadget in configfs: the device, its strings and one configuration holding the functions
// (made here, of the kind before the dot); empty, or why not.
std::string MakeGadget(const CChip& chip, const std::vector<std::string>& functions) {
    const std::string sGadget = kGadgets + chip.pszName;
    for (const char* pszDir : {"", "/strings/0x409", "/configs/c.1", "/configs/c.1/strings/0x409"})
        if (::mkdir((sGadget + pszDir).c_str(), 0755) != 0) return Why("mkdir " + sGadget + pszDir);
    // An acm gadget is a composite of functions with interface associations.
    const bool bComposite = functions.size() > 1;
    const std::pair<const char*, std::string> kFiles[] = {
        {"idVendor", "0x" + Hex16(chip.nVendor)},
        {"idProduct", "0x" + Hex16(chip.nProduct)},
        {"bcdDevice", "0x" + Hex16(chip.nDevice)},
        {"bcdUSB", "0x0200"},
        {"bDeviceClass", bComposite ? "0xef" : "0x00"},
        {"bDeviceSubClass", bComposite ? "0x02" : "0x00"},
        {"bDeviceProtocol", bComposite ? "0x01" : "0x00"},
        {"strings/0x409/manufacturer", chip.pszMaker},
        {"strings/0x409/product", chip.pszProduct},
        {"strings/0x409/serialnumber", "0001"},
        {"configs/c.1/strings/0x409/configuration", "serial"}};
    for (const auto& file : kFiles)
        if (!PlxPutFile(sGadget + "/" + file.first, file.second))
            return Why(std::string("writing ") + file.first);
    for (const std::string& sFunction : functions) {
        const std::string sPath = sGadget + "/functions/" + sFunction;
        if (::mkdir(sPath.c_str(), 0755) != 0) return Why("mkdir " + sPath);
        if (::symlink(sPath.c_str(), (sGadget + "/configs/c.1/" + sFunction).c_str()) != 0)
            return Why("linking " + sFunction);
    }
    return std::string();
}

// The function's interface: vendor class, interrupt IN (ep1), bulk OUT (ep2), bulk IN (ep3), as
// the three chips have it; bulk packets of nBulk bytes (64 at full speed, 512 at high).
struct CInterface {
    usb_interface_descriptor intf;
    usb_endpoint_descriptor_no_audio eps[3];
} __attribute__((packed));

struct CDescriptors {
    usb_functionfs_descs_head_v2 head;
    std::uint32_t nFullSpeed, nHighSpeed;
    CInterface fs, hs;
} __attribute__((packed));

CInterface Interface(std::uint16_t nBulk, std::uint8_t nInterval) {
    CInterface d{};
    d.intf = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 3, USB_CLASS_VENDOR_SPEC, 0, 0, 0};
    d.eps[0] = {USB_DT_ENDPOINT_SIZE,  USB_DT_ENDPOINT, 1 | USB_DIR_IN,
                USB_ENDPOINT_XFER_INT, htole16(8),      nInterval};
    d.eps[1] = {USB_DT_ENDPOINT_SIZE,   USB_DT_ENDPOINT, 2 | USB_DIR_OUT,
                USB_ENDPOINT_XFER_BULK, htole16(nBulk),  0};
    d.eps[2] = {USB_DT_ENDPOINT_SIZE,   USB_DT_ENDPOINT, 3 | USB_DIR_IN,
                USB_ENDPOINT_XFER_BULK, htole16(nBulk),  0};
    return d;
}

// What the chip answers. The three drivers' requests do not overlap, so one set of answers serves
// all three; each is what its driver needs to come up, as the kernel's drivers read them (the
// CH340's version, the CP2102's part number, the PL2303's line read back). Anything else reads as
// zeros: no line status, no modem lines.
class CAnswers {
public:
    std::vector<std::uint8_t> Reply(const usb_ctrlrequest& r) const {
        const auto nLength = le16toh(r.wLength);
        std::vector<std::uint8_t> data;
        if (r.bRequestType == 0xc0 && r.bRequest == 0x5f) {
            // CH340: its version. From 0x30 on, ch341 writes the line control register on its own.
            data = {0x31, 0x00};
        } else if (r.bRequestType == 0xc0 && r.bRequest == 0xff && le16toh(r.wValue) == 0x370b) {
            data = {0x02};  // CP210x: the part number of a CP2102
        } else if (r.bRequestType == 0xa1 && r.bRequest == 0x21) {
            data = m_line;  // PL2303: GET_LINE_REQUEST gives what SET_LINE_REQUEST set
        }
        data.resize(nLength);
        return data;
    }

    void Took(const usb_ctrlrequest& r, const std::vector<std::uint8_t>& data) {
        if (r.bRequestType == 0x21 && r.bRequest == 0x20) m_line = data;
    }

private:
    std::vector<std::uint8_t> m_line;
};

// The function's events on ep0, until it fails. A request's data is read (host to chip) or
// written (chip to host) whole, which also ends its status stage.
std::string ServeControl(int ep0, const CRecord& record) {
    static const char* const kEvents[] = {"BIND",  "UNBIND",  "ENABLE", "DISABLE",
                                          "SETUP", "SUSPEND", "RESUME"};
    CAnswers answers;
    for (;;) {
        usb_functionfs_event event;
        const ssize_t n = ::read(ep0, &event, sizeof(event));
        if (n < 0 && errno == EINTR) continue;
        if (n != sizeof(event)) return Why("reading ep0");
        if (event.type != FUNCTIONFS_SETUP) {
            record.Add(std::string("event ") + (event.type < sizeof(kEvents) / sizeof(*kEvents)
                                                    ? kEvents[event.type]
                                                    : "?"));
            continue;
        }
        const usb_ctrlrequest& r = event.u.setup;
        const std::size_t nLength = le16toh(r.wLength);
        const std::string sLine = "setup " + Hex(&r.bRequestType, 1) + " " + Hex(&r.bRequest, 1) +
                                  " " + Hex16(le16toh(r.wValue)) + " " + Hex16(le16toh(r.wIndex)) +
                                  " " + Hex16(le16toh(r.wLength));
        std::vector<std::uint8_t> data;
        bool bDone;
        if (r.bRequestType & USB_DIR_IN) {
            data = answers.Reply(r);
            bDone = ::write(ep0, data.data(), nLength) == static_cast<ssize_t>(nLength);
        } else {
            data.resize(nLength);
            bDone = ::read(ep0, data.data(), nLength) == static_cast<ssize_t>(nLength);
            answers.Took(r, data);
        }
        record.Add(nLength == 0 ? sLine : sLine + " " + Hex(data.data(), nLength));
        if (!bDone) record.Add(Why("unanswered"));  // the host gave up on it (unplugged)
    }
}

// The bytes the host sends to bulk OUT, for as long as the machine runs. While the gadget is
// unbound a read fails, or waits until it is bound again.
void ReadBulk(const std::string& sEndpoint, const CRecord& record) {
    CGuestFile ep(::open(sEndpoint.c_str(), O_RDONLY | O_CLOEXEC));
    if (ep.Get() < 0) return record.Add("error " + Why(sEndpoint));
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t n = ::read(ep.Get(), buf, sizeof(buf));
        if (n > 0) record.Add("out " + Hex(buf, static_cast<std::size_t>(n)));
        if (n < 0 && errno != EINTR) ::usleep(10000);
    }
}

// A chip played here through FunctionFS; returns only why it cannot go on.
std::string ServeFunction(const CChip& chip, const std::string& sUdc, const CRecord& record) {
    const std::string sName = chip.pszName;
    std::string sWhy = MakeGadget(chip, {"ffs." + sName});
    if (!sWhy.empty()) return sWhy;
    const std::string sMount = "/dev/ffs-" + sName;
    if (::mkdir(sMount.c_str(), 0755) != 0 ||
        ::mount(sName.c_str(), sMount.c_str(), "functionfs", 0, nullptr) != 0)
        return Why("mounting " + sMount);
    CGuestFile ep0(::open((sMount + "/ep0").c_str(), O_RDWR | O_CLOEXEC));
    if (ep0.Get() < 0) return Why("opening ep0");
    // Vendor requests go to the device, not the interface: ALL_CTRL_RECIP lets them through.
    CDescriptors descriptors{};
    descriptors.head.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    descriptors.head.length = htole32(sizeof(descriptors));
    descriptors.head.flags =
        htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
    descriptors.nFullSpeed = descriptors.nHighSpeed = htole32(4);
    descriptors.fs = Interface(64, 1);   // every frame (1 ms)
    descriptors.hs = Interface(512, 4);  // 2^(4-1) microframes
    // No strings of its own (no interface name, as the chips have none): a table of none,
    // nothing after its header.
    usb_functionfs_strings_head strings{};
    strings.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    strings.length = htole32(sizeof(strings));
    if (::write(ep0.Get(), &descriptors, sizeof(descriptors)) != sizeof(descriptors) ||
        ::write(ep0.Get(), &strings, sizeof(strings)) != sizeof(strings))
        return Why("writing the descriptors");
    std::thread(ReadBulk, sMount + "/ep2", std::cref(record)).detach();
    if (!PlxPutFile(kGadgets + sName + "/UDC", sUdc)) return Why("binding to " + sUdc);
    return ServeControl(ep0.Get(), record);
}

// The CDC ACM device: the kernel's acm function answers the host; its first port's bytes are
// read here, raw, for as long as the machine runs. Unbinding the gadget hangs the port up: it is
// opened again, to wait for the host's next bytes.
std::string ServeAcm(const CChip& chip, const std::string& sUdc, const CRecord& record) {
    std::string sWhy = MakeGadget(chip, {"acm.0", "acm.1"});
    if (!sWhy.empty()) return sWhy;
    if (!PlxPutFile(kGadgets + chip.pszName + "/UDC", sUdc)) return Why("binding to " + sUdc);
    CGuestFile portNum(
        ::open((kGadgets + chip.pszName + "/functions/acm.0/port_num").c_str(), O_RDONLY));
    char szNum[16] = {};
    if (portNum.Get() < 0 || ::read(portNum.Get(), szNum, sizeof(szNum) - 1) <= 0)
        return Why("reading port_num");
    const std::string sTty = "/dev/ttyGS" + std::to_string(std::atoi(szNum));
    for (;;) {
        CGuestFile tty(::open(sTty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios tio{};
        if (tty.Get() < 0 || ::tcgetattr(tty.Get(), &tio) != 0) return Why(sTty);
        ::cfmakeraw(&tio);
        if (::tcsetattr(tty.Get(), TCSANOW, &tio) != 0) return Why(sTty);
        std::uint8_t buf[4096];
        ssize_t n;
        while ((n = ::read(tty.Get(), buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
            if (n > 0) record.Add("out " + Hex(buf, static_cast<std::size_t>(n)));
        ::usleep(10000);
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (const CChip& chip : kChips) {
        if (argc != 3 || std::strcmp(argv[1], chip.pszName) != 0) continue;
        const CRecord record("/tmp/" + std::string(chip.pszName) + ".record");
        const std::string sWhy = std::strcmp(chip.pszName, "acm") == 0
                                     ? ServeAcm(chip, argv[2], record)
                                     : ServeFunction(chip, argv[2], record);
        record.Add("error " + sWhy);
        return 1;
    }
    return 2;
}
