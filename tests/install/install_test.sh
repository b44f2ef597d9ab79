#!/bin/sh
# Installs the build tree BUILD into a throwaway prefix and runs what was
# installed from there: the programs through their links in bin/, the Qt
# plug-in found beside the program, and the man pages.
set -eu
build=$1
prefix=$(mktemp -d "${TMPDIR:-/tmp}/fwinstall.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "install test: $*" >&2; exit 1; }

for program in flashwright fwmodule fwimage; do
  [ -L "$prefix/bin/$program" ] || fail "bin/$program is not a link"
  "$prefix/bin/$program" --version | grep -q "3\.7\.1" || fail "$program --version"
  page="$prefix/share/man/man1/$program.1"
  text=$(MANWIDTH=80 man -l -P cat "$page" 2>&1) || fail "man -l $page"
  for section in SYNOPSIS "EXIT STATUS" EXAMPLES; do
    printf '%s' "$text" | grep -q "$section" || fail "$program.1 has no $section"
  done
  printf '%s' "$text" | grep -q "warning" && fail "$program.1: $text"
done

# The plug-in is loaded through the link, from the folder the program is in.
module="$prefix/module"
"$prefix/bin/fwmodule" create "$module" >/dev/null
status=0
QT_QPA_PLATFORM=offscreen "$prefix/bin/flashwright" --module "$module" --ui qt /fu </dev/null || status=$?
[ "$status" -eq 1 ] || fail "the installed program with Qt answered $status"
echo "install test: ok"
