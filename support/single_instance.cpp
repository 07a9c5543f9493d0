#include "support/single_instance.h"

#include <cstring>

#include "framework/exception.h"
#include "support/shared_memory.h"

HANDLE InstanceMutex = nullptr;
char SharedDataName[1024] = "";

namespace {
const size_t kNameArea = sizeof SharedDataName;  // 1023 characters and the terminator
const DWORD kBlockSize = 1024;
const char kBlockSuffix[] = "_multiple_data";
// "引き渡すテキストが長すぎます"
const char kDataTooLongText[] =
    "\x88\xf8\x82\xab\x93\x6e\x82\xb7\x83\x65\x83\x4c\x83\x58\x83\x67\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7";

// "ウィンドウ名とクラス名がどちらも空です"
const char kNoNamesText[] =
    "\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x96\xbc\x82\xc6\x83\x4e\x83\x89\x83\x58\x96\xbc\x82\xaa\x82\xc7"
    "\x82\xbf\x82\xe7\x82\xe0\x8b\xf3\x82\xc5\x82\xb7";

// Appends `text` to the `length` characters in `area`, cut to kNameArea - 1 in all.
void AppendCut(char *area, size_t &length, const char *text) {
    while (length < kNameArea - 1 && *text) area[length++] = *text++;
    area[length] = '\0';
}

// Window name + class name, cut to 1023 characters; returns the length.
size_t ComposeInstanceName(const char *windowName, const char *className, char name[kNameArea]) {
    size_t length = 0;
    AppendCut(name, length, windowName ? windowName : "");
    AppendCut(name, length, className ? className : "");
    return length;
}
}  // namespace

void ComposeSharedDataName(const char *windowName, const char *className, char name[1024]) {
    size_t length = ComposeInstanceName(windowName, className, name);
    AppendCut(name, length, kBlockSuffix);
}

bool HandOffToRunningInstance(const char *windowName, const char *className, const char *data) {
    if (!windowName) windowName = "";
    if (!className) className = "";
    if (!data) data = "";
    // The name "" would make an unnamed mutex: every caller would be the first instance.
    if (!*windowName && !*className) throw Exception(kNoNamesText);

    char name[kNameArea];
    ComposeInstanceName(windowName, className, name);

    // Creation is atomic between processes: exactly one caller sees no error.
    SetLastError(ERROR_SUCCESS);
    InstanceMutex = CreateMutexA(nullptr, TRUE, name);
    const DWORD mutexError = GetLastError();

    ComposeSharedDataName(windowName, className, SharedDataName);

    if (mutexError == ERROR_SUCCESS) return false;

    // Refused before the block is touched: the text and its terminator must fit.
    const size_t dataLength = std::strlen(data);
    if (dataLength > kBlockSize - 1) throw Exception(kDataTooLongText);

    bool createdNew = false;
    CMemMapFile<char> block(SharedDataName, 0, kBlockSize, &createdNew);
    block.Lock();
    // GCOVR_EXCL_BR_START: the view is null only when MapViewOfFile fails, which no seam reaches
    if (char *view = block.GetView()) std::memcpy(view, data, dataLength + 1);
    // GCOVR_EXCL_BR_STOP
    // Found under the lock, under which a CHandOffReceiver makes its window and reads the
    // block: either it has read the block already and gets the message, or it finds the
    // text in the block and no message comes. FindWindowA reads titles without sending
    // messages, so the lock is never held while waiting on the receiver.
    // FindWindowA matches any class or title for null, but "" only an empty one.
    HWND target = FindWindowA(*className ? className : nullptr, *windowName ? windowName : nullptr);
    block.Unlock();

    // The running instance's window may not exist yet; the send then fails and the
    // text waits in the block for as long as the receiver holds the block open.
    COPYDATASTRUCT copied = {};
    copied.dwData = reinterpret_cast<ULONG_PTR>(SharedDataName);
    copied.cbData = static_cast<DWORD>(dataLength + 1);
    copied.lpData = const_cast<char *>(data);
    SendMessageA(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copied));
    // The block is closed only now, after the receiver has handled the message.
    return true;
}

bool HandOffToRunningInstance(const char *windowName, const char *className) {
    return HandOffToRunningInstance(windowName, className, "");
}
