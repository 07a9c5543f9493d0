#include "launcher/app_objects.h"

#include "seams/mci.h"

namespace {
void ReleaseArray(char *array) {
    if (array) delete[] array;
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
