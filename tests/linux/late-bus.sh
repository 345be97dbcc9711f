#!/usr/bin/env bash
# A session whose accessibility bus is not there when the host starts, as at login: a private
# X server and a private session bus that cannot start the accessibility bus by itself (its
# configuration names no service directories). The test program starts the accessibility bus
# (at-spi-bus-launcher) when it wants it. Exits 77 (CTest's SKIP) when something is missing.
#   late-bus.sh TEST_BINARY TEST_APP_SCRIPT
set -u
test_binary=$1
test_app=$2

source "$(dirname "$0")/x-session.sh"
require_tools Xvfb dbus-run-session dbus-send xdotool
require_atspi
require_gtk3_python
launcher=/usr/libexec/at-spi-bus-launcher

start_x_session korvale-late-bus
# No backend named: the host chooses as a production host does, without waiting for the bus.
unset KORVALE_BACKEND AT_SPI_BUS_ADDRESS

# A session bus like the usual one, minus activation: nothing starts org.a11y.Bus on request.
cat >"$work/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:tmpdir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF

timeout "${KORVALE_TEST_TIMEOUT:-180}" dbus-run-session --config-file="$work/session.conf" -- \
  "$test_binary" "$test_app" "$launcher"
