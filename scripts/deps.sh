#!/bin/sh
# Installs the Debian packages given as arguments that are not installed yet.
# As root it runs apt-get (updating the package lists first: a fresh machine's
# may be empty); otherwise it prints the one command to run.
missing=""
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "wex needs these Debian packages; install them with:" >&2
  echo "  sudo apt-get install$missing" >&2
  exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null || exit 1
apt-get install -y -q --no-install-recommends $missing >/dev/null || exit 1
