/* Coverage builds of Windows programs only. mingw-w64's start-up registers the runner
 * of the static destructors with atexit after all constructors have run, so gcov's
 * own dump (a destructor of every instrumented unit) comes before them and what they
 * execute is never counted. The link wraps __gcov_exit into nothing, and the real one
 * is registered here before any other constructor runs: atexit runs it last. */
#include <stdlib.h>

void __real___gcov_exit(void);

void __wrap___gcov_exit(void) {}

__attribute__((constructor(101))) static void RegisterLateGcovDump(void) { atexit(__real___gcov_exit); }
