#pragma once

#include <windows.h>
#include <mmsystem.h>

// The launcher's global application object and its parts. Each part owns the
// heap arrays it holds (array form of new) and releases those that are set when
// it is destroyed; CSystemSound closes its MCI device.

class CShell {
public:
    CShell();
    ~CShell();
    CShell(const CShell &) = delete;
    CShell &operator=(const CShell &) = delete;

    char *Buffer;
};

class CDeskTop {
public:
    CDeskTop();
    ~CDeskTop();
    CDeskTop(const CDeskTop &) = delete;
    CDeskTop &operator=(const CDeskTop &) = delete;

    char *Buffer;
};

// No constructor of its own: in static storage its fields start as zero, so a
// device that was never opened is device 0.
class CSystemSound {
public:
    ~CSystemSound();
    // Sends MCI_CLOSE to DeviceId; returns the MCI result code.
    MCIERROR Close();

    DWORD Reserved;
    MCIDEVICEID DeviceId;
    DWORD MoreReserved[3];
};

struct CWordPair {
    CWordPair() : Words{0, 0} {}
    DWORD Words[2];
};

// Sixteen words; only the first is set, by the constructor.
struct CSixteenWords {
    CSixteenWords() { Words[0] = 0; }
    DWORD Words[16];
};

struct CEmptyMember {
    CEmptyMember() {}
};

class CSystem {
public:
    CSystem();
    ~CSystem();
    CSystem(const CSystem &) = delete;
    CSystem &operator=(const CSystem &) = delete;

    char *FirstBuffer;
    char *SecondBuffer;
    CShell Shell;
    CWordPair Pair;
    CDeskTop DeskTop;
    CSystemSound SystemSound;
    CSixteenWords Record;
    CEmptyMember Empty;
};

class CAppIcon {
public:
    CAppIcon() {}
    ~CAppIcon() {}
};

class CApplication {
public:
    CApplication();
    ~CApplication();
    CApplication(const CApplication &) = delete;
    CApplication &operator=(const CApplication &) = delete;

    char *FirstBuffer;
    char *SecondBuffer;
    CAppIcon AppIcon;
};

// Destroys CApplication first, then CSystem (the reverse of construction).
class CWindows {
public:
    CSystem System;
    CApplication App;
};
