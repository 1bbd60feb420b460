#!/bin/sh
# systemctl, busctl and deb-systemd-invoke in the package tests' overlays:
# notes each daemon-reload and restart in HERE/restarts.log, and answers as
# busctl what systemd's own loader (systemd --test) made of pcscd.service's
# environment at the last daemon-reload.
here=@HERE@
unit() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups /lib/systemd/systemd --test --system \
    --unit=pcscd.service --no-pager 2>/dev/null | awk '/-> Unit / { mine = $3 == "pcscd.service:" }
    mine && match($0, /^[ \t]*(Environment|EnvironmentFile|UnsetEnvironment): /) {
      name = $1; sub(/:$/, "", name); value = substr($0, RLENGTH + 1); optional = sub(/^-/, "", value)
      if (name == "EnvironmentFile") { name = "EnvironmentFiles"; value = value "\" " (optional ? "true" : "false") }
      else value = value "\""
      n[name]++; v[name] = v[name] " \"" value }
    END { split("Environment as;UnsetEnvironment as;EnvironmentFiles a(sb)", p, ";")
      for (i = 1; i <= 3; i++) { split(p[i], w, " "); print p[i] " " n[w[1]] + 0 v[w[1]] } }'
}
# A fifo HERE/hold holds the first call until a line is written to it.
[ ! -p "$here/hold" ] || { read -r _ < "$here/hold"; rm -f "$here/hold"; }
case "$*" in
  daemon-reload) echo daemon-reload >> "$here/restarts.log"; unit > "$here/systemd.loaded" ;;
  *restart*) echo "$*" >> "$here/restarts.log" ;;
  *NeedDaemonReload*) if unit | cmp -s - "$here/systemd.loaded"; then echo no; else echo yes; fi ;;
  get-property*) for name; do :; done; sed -n "s/^$name //p" "$here/systemd.loaded" ;;
esac
