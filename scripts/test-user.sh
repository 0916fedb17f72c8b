#!/usr/bin/env bash
# Prepares the unprivileged account the permission and elevation tests run
# as: tests run as root prove nothing about permissions. Needs root; does
# nothing (and says so) otherwise. Idempotent.
#
#   nvsutest   password "nvsu-test-password"; may run anything as root
#              through sudo, always after giving its password (no cached
#              credentials), so every elevation really asks.
#
# The build tree must be reachable by the account: each folder above the
# repository that it cannot enter gets an ACL entry for this account only.
set -euo pipefail
cd "$(dirname "$0")/.."

user=nvsutest
password=nvsu-test-password

if [ "$(id -u)" -ne 0 ]; then
  echo "test-user: not root; the tests that switch to '$user' will be skipped"
  exit 0
fi

# The account has a known password and may use sudo, so it gets no login
# shell: nobody can log in as it, and the tests switch to it with setpriv.
if ! id "$user" >/dev/null 2>&1; then
  useradd --create-home --shell /usr/sbin/nologin "$user"
fi
usermod --shell /usr/sbin/nologin "$user"
echo "$user:$password" | chpasswd

rule=/etc/sudoers.d/nvsutest
cat > "$rule.tmp" <<RULE
Defaults:$user timestamp_timeout=0, passwd_tries=3, !lecture
$user ALL=(ALL:ALL) ALL
RULE
chmod 0440 "$rule.tmp"
if visudo -cqf "$rule.tmp"; then
  mv -f "$rule.tmp" "$rule"
else
  rm -f "$rule.tmp"
  echo "test-user: sudo rule rejected by visudo" >&2
  exit 1
fi

# Let the account through every folder on the way to the build tree.
dir="$(pwd -P)"
while [ "$dir" != "/" ]; do
  if ! runuser -u "$user" -- test -x "$dir"; then
    setfacl -m "u:$user:x" "$dir"
  fi
  dir="$(dirname "$dir")"
done
echo "test-user: '$user' ready"
