#include "launcher/app_objects.h"

#include "seams/mci.h"

namespace {
void ReleaseArray(char *array) {
    if (array) delete[] array;  // GCOVR_EXCL_BR_LINE: beside the if, delete[]'s own null check, never null here
}
}  // namespace

CShell::CShell() : Buffer(nullptr) {}
CShell::~CShell() { ReleaseArray(Buffer); }

CDeskTop::CDeskTop() : Buffer(nullptr) {}
CDeskTop::~CDeskTop() { ReleaseArray(Buffer); }

CSystemSound::~CSystemSound() { Close(); }

MCIERROR CSystemSound::Close() { return seams::mciSendCommandA(DeviceId, MCI_CLOSE, 0, 0); }

CSystem::CSystem() {
    FirstBuffer = nullptr;
    SecondBuffer = nullptr;
}

CSystem::~CSystem() {
    ReleaseArray(FirstBuffer);
    ReleaseArray(SecondBuffer);
}

CApplication::CApplication() {
    FirstBuffer = nullptr;
    SecondBuffer = nullptr;
}

CApplication::~CApplication() {
    ReleaseArray(FirstBuffer);
    ReleaseArray(SecondBuffer);
}
