// dbcsprint: test page of spaced Shift-JIS text for printer-driver checks.
// Takes no arguments; the default printer is the only input.
#include "dbcsprint.h"

int main() { return PrintTestPage(); }
