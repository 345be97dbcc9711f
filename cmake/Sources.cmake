# The library's sources, listed once for every build of them: the library itself (CMakeLists.txt)
# and the fuzz targets (fuzz/CMakeLists.txt). Paths are absolute, so either may include this file.
# A new source file goes into one of these lists by hand; nothing is picked up by globbing.
get_filename_component(KORVALE_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# The core: the nine exports' implementation, the monitor, delivery and the access layer's values.
# The `main` export (src/MainSymbol.cpp) and the backend table are compiled per library.
set(KORVALE_CORE_SOURCES
  src/Diagnostic.cpp
  src/HostText.cpp
  src/MacAccessibility.cpp
  src/MacAccessibilityHostRequests.cpp
  src/WindowTracker.cpp
  src/main.cpp
  src/utils.cpp
  src/platform/Backend.cpp
  src/platform/Values.cpp)
set(KORVALE_MAIN_SYMBOL_SOURCE src/MainSymbol.cpp)
set(KORVALE_BACKEND_TABLE_SOURCE src/platform/BackendTable.cpp)

# The simulated desktop and its control API (ksim_*), in libKorvale-Sim only.
set(KORVALE_SIM_SOURCES
  src/platform/sim/SimAccessibility.cpp
  src/platform/sim/SimAxText.cpp
  src/platform/sim/SimAxValues.cpp
  src/platform/sim/SimDesktop.cpp
  src/platform/sim/SimKeyboard.cpp
  src/platform/sim/SimPasteboard.cpp
  src/platform/sim/SimWindows.cpp
  src/platform/sim/SimWorkspace.cpp
  src/simcontrol/Scenario.cpp
  src/simcontrol/SimControl.cpp)

# The Linux backend (AT-SPI, X11, GLib), where KORVALE_LINUX_BACKEND turns it on.
set(KORVALE_LINUX_SOURCES
  src/platform/linux/AtspiCalls.cpp
  src/platform/linux/LinuxAccessibility.cpp
  src/platform/linux/LinuxBackend.cpp
  src/platform/linux/LinuxFrontWindow.cpp
  src/platform/linux/LinuxKeyboard.cpp
  src/platform/linux/LinuxMainLoop.cpp
  src/platform/linux/LinuxPasteboard.cpp
  src/platform/linux/LinuxWindows.cpp
  src/platform/linux/LinuxWorkspace.cpp
  src/platform/linux/XConnection.cpp)

# The macOS backend (accessibility C API, Core Foundation, AppKit, Core Graphics, libdispatch),
# built on Apple only. Off a Mac, scripts/macos-check.sh compile-checks it and tests/macos runs
# its C-level half over a fake of the C functions.
set(KORVALE_MACOS_SOURCES
  src/platform/macos/MacAxService.cpp
  src/platform/macos/MacKeyboard.cpp
  src/platform/macos/MacRunLoop.cpp
  src/platform/macos/MacValues.cpp
  src/platform/macos/MacBackend.mm
  src/platform/macos/MacMainLoop.mm
  src/platform/macos/MacPasteboard.mm
  src/platform/macos/MacWindows.mm
  src/platform/macos/MacWorkspace.mm)

foreach(list KORVALE_CORE_SOURCES KORVALE_MAIN_SYMBOL_SOURCE KORVALE_BACKEND_TABLE_SOURCE
             KORVALE_SIM_SOURCES KORVALE_LINUX_SOURCES KORVALE_MACOS_SOURCES)
  list(TRANSFORM ${list} PREPEND "${KORVALE_SOURCE_ROOT}/")
endforeach()
