// The floor of the Windows round-trip benchmark: plain Win32 on COM port N,
// with the port's read mode (no timeouts; one byte awaited, then what
// ClearCommError says is held) and nothing else: no control, no loop, no
// threads. It answers every 8 bytes with the keep-alive echo until the far
// end hangs up. What the control takes beyond this is the control's own.
//
//   keepalive_floor N
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char kEcho[8] = {0x06, 0x00, -128, 0x09, 0x00, 0x02, '!', 0x00};
// Sent once the port is set up, as the control's tone: the far end starts
// timing after it.
const char kHello[8] = {0x06, 0x00, -128, 0x03, 0x00, 0x00, 0x00, 0x00};

HANDLE ioEvent;

// One overlapped transfer, waited for; false on failure.
bool Io(HANDLE h, bool write, char* data, DWORD size, DWORD& done) {
    OVERLAPPED ov{};
    ov.hEvent = ioEvent;
    const BOOL ok =
        write ? ::WriteFile(h, data, size, nullptr, &ov) : ::ReadFile(h, data, size, nullptr, &ov);
    if (!ok && ::GetLastError() != ERROR_IO_PENDING) return false;
    return ::GetOverlappedResult(h, &ov, &done, TRUE) != FALSE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: keepalive_floor COM-NUMBER\n", stderr);
        return 2;
    }
    const std::string path = std::string("\\\\.\\COM") + argv[1];
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "keepalive_floor: cannot open %s (%lu)\n", path.c_str(),
                     ::GetLastError());
        return 1;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(h, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
    COMMTIMEOUTS none{};
    ioEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!::SetCommState(h, &dcb) || !::SetCommTimeouts(h, &none) || ioEvent == nullptr) {
        std::fprintf(stderr, "keepalive_floor: cannot set up %s (%lu)\n", path.c_str(),
                     ::GetLastError());
        return 1;
    }
    DWORD done = 0;
    if (!Io(h, true, const_cast<char*>(kHello), sizeof kHello, done)) return 1;
    char buffer[4096];
    DWORD have = 0;  // bytes of a query not yet answered
    for (;;) {
        DWORD got = 0;
        if (!Io(h, false, buffer, 1, got)) return 0;  // the far end hung up
        COMSTAT status{};
        DWORD flags = 0;
        DWORD more = 0;
        if (::ClearCommError(h, &flags, &status))
            more = status.cbInQue < sizeof buffer ? status.cbInQue : sizeof buffer - 1;
        DWORD rest = 0;
        if (more > 0 && !Io(h, false, buffer + 1, more, rest)) return 0;
        for (have += got + rest; have >= sizeof kEcho; have -= sizeof kEcho)
            if (!Io(h, true, const_cast<char*>(kEcho), sizeof kEcho, done)) return 0;
    }
}
