// The export `main`, alone in its unit so that test programs, which have a main of their own,
// can link everything else of the library.
#include "main.h"

extern "C" KORVALE_API int main(void) { return korvale::mainExport(); }
