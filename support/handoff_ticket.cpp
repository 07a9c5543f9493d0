#include "support/handoff_ticket.h"

#include <cstdio>
#include <string>

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
        const HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0,
                                                  sizeof(LONG), TicketName(number).c_str());
        if (!mapping) break;
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(mapping);  // GCOVR_EXCL_LINE: another sender's number
            continue;              // GCOVR_EXCL_LINE
        }
        mapping_ = mapping;
        number_ = static_cast<DWORD>(number);
        state_ = MapTicket(mapping);
    }
    if (!state_) {
        if (mapping_) CloseHandle(mapping_);  // GCOVR_EXCL_LINE: no mapping or view to be had
        throw Exception(kMappingFailedText);  // GCOVR_EXCL_LINE
    }
    // GCOVR_EXCL_BR_STOP
}

HandOffTicket::~HandOffTicket() {
    UnmapViewOfFile(const_cast<LONG *>(state_));
    CloseHandle(mapping_);
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
