#!/usr/bin/env bash
# The unprivileged accounts the permission and elevation tests run as, for
# one test run: tests run as root prove nothing about permissions. Needs
# root; does nothing (and says so) otherwise.
#
#   scripts/test-user.sh setup      creates them (again, with new passwords)
#   scripts/test-user.sh teardown   removes them and everything made for them
#
#   nvsutest     may run anything as root through sudo, always after giving
#                its password (no cached credentials), so every elevation
#                really asks; polkit lets it authenticate as itself for the
#                updater's action.
#   nvsurefused  sudo asks for its password, then refuses it a shell: it may
#                run /bin/true only.
#
# Each password is random and kept in /run/nvsu-test-accounts/, which only
# root can read; the tests (run as root) read it there and hand it to the
# test case they re-run as the account. Neither account can log in.
#
# The build tree must be reachable by the accounts: each folder above the
# repository that they cannot enter gets an ACL entry for them, noted in the
# same folder so that teardown takes exactly those away. scripts/test.sh
# calls teardown when the run ends, also when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

users=(nvsutest nvsurefused)
state=/run/nvsu-test-accounts
sudo_rule=/etc/sudoers.d/nvsutest
polkit_rule=/etc/polkit-1/rules.d/49-nvsutest.rules
action=norvane.velkin.SoftwareUpdate.run-as-root

if [ "$(id -u)" -ne 0 ]; then
  echo "test-user: not root; the tests that switch to a test account will be skipped"
  exit 0
fi

install_sudo_rule() {
  cat > "$sudo_rule.tmp" <<RULE
Defaults:nvsutest, nvsurefused timestamp_timeout=0, passwd_tries=3, !lecture
nvsutest ALL=(ALL:ALL) ALL
nvsurefused ALL=(root) /bin/true
RULE
  chmod 0440 "$sudo_rule.tmp"
  if ! visudo -cqf "$sudo_rule.tmp"; then
    rm -f "$sudo_rule.tmp"
    echo "test-user: sudo rule rejected by visudo" >&2
    exit 1
  fi
  mv -f "$sudo_rule.tmp" "$sudo_rule"
}

install_polkit_rule() {
  [ -d "$(dirname "$polkit_rule")" ] || return 0
  cat > "$polkit_rule" <<RULE
// Test runs only (scripts/test-user.sh): nvsutest answers the updater's
// administrator prompt with its own password.
polkit.addAdminRule(function (action, subject) {
    if (action.id == "$action" && subject.user == "nvsutest")
        return ["unix-user:nvsutest"];
});
RULE
  chmod 0644 "$polkit_rule"
}

setup() {
  teardown quiet
  install -d -m 0700 "$state"
  for user in "${users[@]}"; do
    useradd --create-home --shell /usr/sbin/nologin "$user"
    head -c 24 /dev/urandom | base64 | tr -d '/+=' > "$state/$user.password"
    chmod 0600 "$state/$user.password"
    echo "$user:$(cat "$state/$user.password")" | chpasswd
  done
  install_sudo_rule
  install_polkit_rule

  # Let the accounts through every folder on the way to the build tree.
  local dir
  dir="$(pwd -P)"
  while [ "$dir" != "/" ]; do
    for user in "${users[@]}"; do
      if ! runuser -u "$user" -- test -x "$dir"; then
        setfacl -m "u:$user:x" "$dir"
        printf '%s\t%s\n' "$user" "$dir" >> "$state/acl-entries"
      fi
    done
    dir="$(dirname "$dir")"
  done
  echo "test-user: ${users[*]} ready"
}

teardown() {
  if [ -f "$state/acl-entries" ]; then
    while IFS=$'\t' read -r user dir; do
      setfacl -x "u:$user" "$dir" 2>/dev/null || true
    done < "$state/acl-entries"
  fi
  rm -f "$sudo_rule" "$sudo_rule.tmp" "$polkit_rule"
  for user in "${users[@]}"; do
    if id "$user" >/dev/null 2>&1; then
      # Files the account left in the shared temporary folders go with it.
      find /tmp /var/tmp -xdev -user "$user" -delete 2>/dev/null || true
      userdel --remove --force "$user" 2>/dev/null || userdel --force "$user"
    fi
  done
  rm -rf "$state"
  [ "${1:-}" = quiet ] || echo "test-user: ${users[*]} removed"
}

case "${1:-}" in
  setup) setup ;;
  teardown) teardown ;;
  *) echo "usage: $0 setup|teardown" >&2; exit 2 ;;
esac
