#include "support/handoff_ticket.h"

#include <sddl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "framework/exception.h"
#include "support/handoff_check.h"

namespace {
const LONG kTicketPending = 0, kTicketTaken = 1, kTicketVoid = 2;
const ULONG_PTR kTicketNumberMask = 0x7FFFFFF;  // 27 bits, so that dwData fits 32 bits
// Numbers already in use by another sender are passed over; this many in a row is no chance.
const int kTicketAttempts = 64;

std::string TicketName(ULONG_PTR number) {
    char name[40];
    (void)std::snprintf(name, sizeof name, "OrvaneHandOffTicket_%07lx", static_cast<unsigned long>(number));
    return name;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// Maps the ticket's word, or null.
volatile LONG *MapTicket(HANDLE mapping) {
    return static_cast<volatile LONG *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG)));
}
}  // namespace

HandOffTicket::HandOffTicket() {
    static volatile LONG calls = 0;
    // GCOVR_EXCL_BR_START: a number in use by another sender, or no mapping to be had, which no seam reaches
    for (int attempt = 0; attempt < kTicketAttempts && !state_; ++attempt) {
        // Spread by the process and the call, so that senders rarely try each other's numbers.
        const DWORD spread =
            GetCurrentProcessId() * 0x9E3779B1UL + static_cast<DWORD>(InterlockedIncrement(&calls)) * 0x85EBCA77UL;
        const ULONG_PTR number = spread & kTicketNumberMask;
        if (number == 0) continue;
        const std::string name = TicketName(number);
        OwnedHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, HandOffSenderSecurity(),
                                               PAGE_READWRITE | SEC_COMMIT, 0, sizeof(LONG), name.c_str()));
        DWORD error = GetLastError();
        // GCOVR_EXCL_START: a program below medium integrity may not label its objects medium: the default then
        if (!mapping) {
            mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0,
                                             sizeof(LONG), name.c_str()));
            error = GetLastError();
        }
        // GCOVR_EXCL_STOP
        if (!mapping) break;
        if (error == ERROR_ALREADY_EXISTS) continue;  // GCOVR_EXCL_LINE: another sender's number
        state_ = MapTicket(mapping.get());
        if (state_) {
            mapping_ = mapping.release();
            number_ = static_cast<DWORD>(number);
        }
    }
    if (!state_) throw Exception(kMappingFailedText);  // GCOVR_EXCL_LINE: no mapping or view to be had
    // GCOVR_EXCL_BR_STOP
}

HandOffTicket::~HandOffTicket() {
    UnmapViewOfFile(const_cast<LONG *>(state_));
    CloseHandle(mapping_);
}

namespace {
// The descriptor of HandOffSenderSecurity, made from its text with this process's user in it; null
// when it cannot be made.
PSECURITY_DESCRIPTOR MakeSenderDescriptor() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HANDLE token = nullptr;
    // GCOVR_EXCL_BR_START: a token without its user, or a text the platform does not take, which no seam reaches
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        const OwnedHandle ownedToken(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<char> user(size ? size : 1);
        wchar_t *sid = nullptr;
        if (GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid, &sid)) {
            // Generic all to the user alone; a mandatory label of medium integrity, no write up.
            const std::wstring text = std::wstring(L"D:(A;;GA;;;") + sid + L")S:(ML;;NW;;;ME)";
            LocalFree(sid);
            ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
        }
    }
    // GCOVR_EXCL_BR_STOP
    return descriptor;
}
}  // namespace

SECURITY_ATTRIBUTES *HandOffSenderSecurity() {
    // Made by the first call, which the others wait for; never freed.
    static SECURITY_ATTRIBUTES security = {sizeof security, MakeSenderDescriptor(), FALSE};
    return security.lpSecurityDescriptor ? &security : nullptr;
}

bool HandOffTicket::TakenElseVoid() {
    return InterlockedCompareExchange(state_, kTicketVoid, kTicketPending) == kTicketTaken;
}

bool TakeTicket(ULONG_PTR messageData) {
    // Only the low 32 bits cross between 32-bit and 64-bit programs.
    messageData &= 0xFFFFFFFF;
    if ((messageData & 0x1F) != HandOffTicket::kTicketTag) return true;
    const HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, TicketName(messageData >> 5).c_str());
    if (!mapping) return false;  // its sender has gone, after voiding it
    volatile LONG *state = MapTicket(mapping);
    bool taken = false;
    // GCOVR_EXCL_BR_START: the view is null only when MapViewOfFile fails, which no seam reaches
    if (state) {
        taken = InterlockedCompareExchange(state, kTicketTaken, kTicketPending) == kTicketPending;
        UnmapViewOfFile(const_cast<LONG *>(state));
    }
    // GCOVR_EXCL_BR_STOP
    CloseHandle(mapping);
    return taken;
}
