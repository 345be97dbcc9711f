#!/usr/bin/env bash
# The compatibility matrix of the Linux backend: installs real applications from Debian (editors
# in GTK 3, GTK 4, Qt 5/KF5 and Qt 6, LibreOffice Writer, a VTE terminal, xterm, Firefox ESR and
# Chromium), uses each one as a new user would through a small host (the toolkit test program's
# --app mode: switch to it, type, select a word, snapshot, move and resize the window, collapse the
# selection, select across lines, setText, switch away and back) inside Xvfb with a private session
# bus, without a window manager and under openbox, and writes what it measured to
# docs/compatibility.md. Takes a while (the installs, and each browser's start).
#   scripts/compat.sh [BUILD_DIR]
# KORVALE_COMPAT_APPS="l3afpad Firefox_ESR" measures only those rows (labels, spaces as _) and
# KORVALE_COMPAT_WMS="openbox" only that window manager; the document is then not rewritten, the
# cells are printed. KORVALE_COMPAT_LOGS=DIR keeps each run's whole output there.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(l3afpad mousepad gnome-text-editor featherpad kwrite retext qt6-qpa-plugins libreoffice-writer
          libreoffice-gtk3 lxterminal xterm firefox-esr chromium openbox x11-utils)
bash scripts/linux-tests.sh --install-only
bash scripts/setup.sh "${packages[@]}"
build=${1:-build-linux}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
ninja -C "$build" -j "$(nproc)" korvale-linux-toolkits-test
binary=$build/tests/linux/korvale-linux-toolkits-test
results=$(mktemp -d /tmp/korvale-compat.XXXXXX)
trap 'rm -rf "$results"' EXIT
profile=$results/profile
# A file, not a data: URL: Firefox does not open a data: page given on its command line.
page=$results/page.html
echo '<!doctype html><title>compat</title><textarea autofocus rows=8 cols=40></textarea>' >"$page"
page=file://$page

# label | toolkit | package | class to find the window by | how the user selects | command
apps=(
  "l3afpad|GTK 3|l3afpad|L3afpad|keys|l3afpad"
  "Mousepad|GTK 3|mousepad|Mousepad|keys|mousepad"
  "GNOME Text Editor|GTK 4|gnome-text-editor|gnome-text-editor|keys|gnome-text-editor --standalone"
  "FeatherPad|Qt 5|featherpad|FeatherPad|keys|featherpad --standalone"
  "KWrite|Qt 5, KF5|kwrite|kwrite|keys|kwrite"
  "ReText|Qt 6 (PyQt6)|retext|ReText|keys|retext"
  "LibreOffice Writer|VCL (gtk3)|libreoffice-writer|libreoffice-writer|keys|soffice --writer --norestore --nologo"
  "LXTerminal|VTE (GTK 3)|lxterminal|Lxterminal|terminal|lxterminal -e cat"
  "xterm|Xt, no accessibility|xterm|XTerm|none|xterm -geometry 80x24+30+30"
  "Firefox ESR|Gecko|firefox-esr|firefox-esr|keys|firefox-esr --no-remote --profile $profile/firefox $page"
  "Chromium|Chromium|chromium|Chromium|keys|chromium --no-sandbox --force-renderer-accessibility --no-first-run --disable-gpu --password-store=basic --user-data-dir=$profile/chromium $page"
)
columns=(app_changed type select_word rectangle is_editable snapshot move resize caret select_lines setText switch_away switch_back)
only=${KORVALE_COMPAT_APPS:-}
wms=${KORVALE_COMPAT_WMS:-none openbox}

cell() { sed -n "s/^CELL $2 //p" "$1" | head -1 | sed 's/|/\\|/g'; }

for wm in $wms; do
  for entry in "${apps[@]}"; do
    IFS='|' read -r label toolkit package class kind command <<<"$entry"
    [[ -n $only && " $only " != *" ${label// /_} "* ]] && continue
    out="$results/$(echo "$label-$wm" | tr ' /' '__').txt"
    rm -rf "$profile"; mkdir -p "$profile/firefox" "$profile/chromium"
    started=$(date +%s)
    # shellcheck disable=SC2086
    KORVALE_TEST_WM=$([[ $wm == none ]] || echo "$wm") SAL_USE_VCLPLUGIN=gtk3 GNOME_ACCESSIBILITY=1 \
      MOZ_ENABLE_ACCESSIBILITY=1 KORVALE_TEST_TIMEOUT=240 \
      bash tests/linux/run-toolkits.sh "$binary" --app "$class" "$kind" $command >"$out" 2>&1 || true
    echo "measured $label under $wm in $(( $(date +%s) - started )) s"
    grep '^CELL\|^SKIPPED' "$out" | sed 's/^/  /' || true
    [[ -n ${KORVALE_COMPAT_LOGS:-} ]] && mkdir -p "$KORVALE_COMPAT_LOGS" && cp "$out" "$KORVALE_COMPAT_LOGS/"
  done
done
[[ -n $only || $wms != "none openbox" ]] && exit 0

{
  echo "# Compatibility matrix (Linux, X11)"
  echo
  echo "Written by \`scripts/compat.sh\` on $(date -u +%Y-%m-%d) on $(. /etc/os-release; echo "$PRETTY_NAME")"
  echo "(Xvfb, a private session bus, the host being the toolkit test program's \`--app\` mode)."
  echo "Each application is used as a new user would: switched to from another application (xterm;"
  echo "for xterm, l3afpad), two lines typed (\`alpha beta gamma\`, \`delta epsilon\`), the last word"
  echo "selected (Shift+Control+Left; in the terminal a double-click on a word of a screen of"
  echo "\`alpha beta gamma\` lines), a snapshot (\`getDataForVelaAssist\`), the window moved and"
  echo "resized over the selection, the selection collapsed (Right; in the terminal a click),"
  echo "everything up to the start selected (Shift+Control+Home: across the lines or paragraphs),"
  echo "the last word selected and replaced by \`setText(\"OMEGA\")\`, then a switch away and back."
  echo
  echo "Each cell is what the host received, checked against what was done: \"yes\" when the event"
  echo "came and was right, \"no\" with what came instead. \`type\` and \`setText\` are checked on the"
  echo "application's own text, read over AT-SPI by the test program (not through the library)."
  echo "\`rectangle\`, \`move\` and \`resize\`: the rectangle received lies on the window as the X"
  echo "server places it (xwininfo)."
  echo
  echo "## Applications and versions"
  echo
  echo "| application | toolkit | package | version |"
  echo "|---|---|---|---|"
  for entry in "${apps[@]}"; do
    IFS='|' read -r label toolkit package class kind command <<<"$entry"
    echo "| $label | $toolkit | $package | $(dpkg-query -W -f '${Version}' "$package" 2>/dev/null || echo 'not installed') |"
  done
  echo
  echo "Also: at-spi2-core $(dpkg-query -W -f '${Version}' at-spi2-core), Xvfb" \
    "$(dpkg-query -W -f '${Version}' xvfb), openbox $(dpkg-query -W -f '${Version}' openbox)."
  for wm in $wms; do
    echo
    if [[ $wm == none ]]; then echo "## Without a window manager"; else echo "## Under $wm"; fi
    echo
    header="| application |"; rule="|---|"
    for column in "${columns[@]}"; do header+=" $column |"; rule+="---|"; done
    echo "$header"; echo "$rule"
    for entry in "${apps[@]}"; do
      IFS='|' read -r label toolkit package class kind command <<<"$entry"
      out="$results/$(echo "$label-$wm" | tr ' /' '__').txt"
      row="| $label |"
      if grep -q '^SKIPPED' "$out"; then
        row+=" skipped: $(sed -n 's/^SKIPPED: //p' "$out" | head -1) |"
      else
        for column in "${columns[@]}"; do
          value=$(cell "$out" "$column")
          [[ -z $value && $kind == none ]] && value="n/a"
          row+=" ${value:-not reached} |"
        done
      fi
      echo "$row"
    done
  done
} > "$results/table.md"
# Notes written by hand below the marker are kept.
if [[ -f docs/compatibility.md ]] && grep -q '^<!-- notes -->' docs/compatibility.md; then
  { echo; sed -n '/^<!-- notes -->/,$p' docs/compatibility.md; } >> "$results/table.md"
fi
cp "$results/table.md" docs/compatibility.md
echo "wrote docs/compatibility.md"
