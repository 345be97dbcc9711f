// Debian's GNUstep headers ask for the libobjc2 blocks header; Debian ships the blocks runtime
// as libblocksruntime-dev instead.
#pragma once
#include <Block.h>
