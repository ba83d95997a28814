# The machinery of the system tests, sourced by each: Debian's kernel in QEMU
# (TCG) booted from a busybox initramfs, simulated readers that `smcard
# serve` offers on the host over USB/IP (the host's loopback is 10.0.2.2
# under QEMU's user network), one command at a time in the guest, and a
# table of cases checked against the output and against what the served
# readers' log shows reached each reader.
#
# The sourcing script sets `label` (the start of its messages) and `bin`
# (the build's bin directory), then calls in order:
#   guest_setup NAME                     work dir ($work), cleanup on exit
#   fetch_kernel MODULE...               the kernel, and the modules in load order
#   make_initrd [SETUP [RUNNER]]         the initramfs; SETUP runs before the first
#                                        command, RUNNER runs each (default: sh -c)
#   serve_readers "BUSID SLOTS [OPTIONS]"...
#   start_guest [QEMU OPTIONS...]
#   attach_readers                       DEV[busid] = the reader's disk in the guest
#   run_cases TABLE
#   stop_guest
#   host_check NAME COMMAND...
#   finish                               the summary; fails when a check failed
#
# The kernel package is downloaded and unpacked into a cache ($SMFORMAT_CACHE,
# default ~/.cache/smformat) and reused.

say() { echo "${label:-system test}: $*"; }

cache=${SMFORMAT_CACHE:-$HOME/.cache/smformat}
start=$SECONDS
failures=0
checks=0

guest_setup() {  # guest_setup NAME: the work directory, smformat-NAME.XXXXXX
  work=$(mktemp -d "${TMPDIR:-/tmp}/smformat-$1.XXXXXX")
  serve_pid=
  qemu_pid=
  trap guest_cleanup EXIT
}

guest_cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null
  wait 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] && say "work kept in $work" || rm -rf "$work"
}

# --- The kernel: Debian's, unpacked once into the cache ----------------------------------
# Every module any system test loads is kept; each test loads those it names.
cached_modules=(e1000 vhci-hcd usb-storage sd_mod sg vfat nls_cp437 nls_ascii virtio_pci 9pnet_virtio 9p overlay)

kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }'
}

# The modules in load order, each after those it depends on (its own
# "depends=" record); from the modules under TREE, found by name.
resolve_modules() {  # resolve_modules TREE MODULE...
  local tree=$1 m
  shift
  load_order=()
  add_module() {
    local file d
    [[ " ${load_order[*]} " == *" $1 "* ]] && return
    file=$(find "$tree" -name "$1.ko" -print -quit)
    [ -n "$file" ] || { say "FAILED: module $1 is not in $package"; exit 1; }
    for d in $(strings -a "$file" | sed -n 's/^depends=//p' | tr ',' ' '); do add_module "$d"; done
    load_order+=("$1")
  }
  for m in "$@"; do add_module "$m"; done
}

fetch_kernel() {  # fetch_kernel MODULE...: sets kdir and load_order
  package=$(kernel_package)
  if [ -z "$package" ]; then
    local sudo=
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq >/dev/null
    package=$(kernel_package)
  fi
  kdir=$cache/kernel/$package
  local m cached=1
  [ -f "$kdir/vmlinuz" ] || cached=
  for m in "${cached_modules[@]}"; do [ -f "$kdir/modules/$m.ko" ] || cached=; done
  if [ -z "$cached" ]; then
    say "downloading $package into $kdir"
    (cd "$work" && apt-get download -q "$package" >/dev/null 2>&1 && dpkg-deb -x "$package"_*.deb unpacked) ||
      { say "FAILED: cannot download $package"; exit 1; }
    resolve_modules "$work/unpacked/lib/modules" "${cached_modules[@]}"
    rm -rf "$kdir" && mkdir -p "$kdir/modules"
    cp "$work"/unpacked/boot/vmlinuz-* "$kdir/vmlinuz"
    for m in "${load_order[@]}"; do cp "$(find "$work/unpacked/lib/modules" -name "$m.ko" -print -quit)" "$kdir/modules/"; done
    rm -rf "$work"/unpacked "$work"/*.deb
  fi
  resolve_modules "$kdir/modules" "$@"
}

# --- The initramfs ---------------------------------------------------------------------------
initrd=
make_initrd() {  # make_initrd [SETUP [RUNNER]]
  initrd=$work/initrd
  mkdir -p "$initrd"/{bin,sbin,lib/modules,dev,proc,sys,tmp,mnt,run,var/run,etc}
  cp /bin/busybox "$initrd/bin/busybox"
  for applet in $(/bin/busybox --list); do [ "$applet" = busybox ] || ln -sf busybox "$initrd/bin/$applet"; done
  for m in "${load_order[@]}"; do cp "$kdir/modules/$m.ko" "$initrd/lib/modules/"; done
  printf 'root:x:0:0::/:/bin/sh\nuser:x:1000:6::/:/bin/sh\n' >"$initrd/etc/passwd"
  printf 'root:x:0:\ndisk:x:6:user\n' >"$initrd/etc/group"
  cat >"$initrd/init" <<EOF
#!/bin/sh
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in ${load_order[*]}; do insmod /lib/modules/\$m.ko; done
ip link set lo up; ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0; ip route add default via 10.0.2.2
${1:-}
# Commands come one line each on the second serial port; each answer ends
# with its exit status.
stty -F /dev/ttyS1 raw -echo
exec 3<>/dev/ttyS1
echo "@@ready" >&3
while IFS= read -r line <&3; do
  ${2:-sh -c} "\$line" >/tmp/out 2>&1; rc=\$?
  cat /tmp/out >&3; echo "@@rc=\$rc" >&3
done
EOF
  chmod +x "$initrd/init"
}

copy_program() {  # copy_program PROGRAM: into the initramfs, with every library ldd names
  cp "$1" "$initrd/bin/"
  ldd "$1" | grep -o '/[^ ]*' | while read -r lib; do
    mkdir -p "$initrd$(dirname "$lib")" && cp -L "$lib" "$initrd$lib"
  done
}

# --- The readers the host offers ---------------------------------------------------------------
# One reader per argument: bus id, then the smcard serve options of its
# --reader (its slots: a card image or "empty"; then its options).
serve_readers() {
  readers=("$@")
  local r busid slots rest
  local serve_args=()
  for r in "${readers[@]}"; do
    read -r busid slots rest <<<"$r"
    serve_args+=(--reader "$slots" --serial "${busid//-/}" $rest)
  done
  log=$work/served.log
  mkfifo "$work/control"
  exec {control}<>"$work/control"
  "$bin/smcard" serve --port 0 --log "$log" "${serve_args[@]}" <&$control >"$work/serve.out" 2>&1 &
  serve_pid=$!
  for _ in $(seq 50); do grep -q '^serving on' "$work/serve.out" 2>/dev/null && break; sleep 0.1; done
  port=$(sed -n 's/^serving on [0-9.]*:\([0-9]*\).*/\1/p' "$work/serve.out")
  [ -n "$port" ] || { cat "$work/serve.out"; say "FAILED: smcard serve did not start"; exit 1; }
}

# --- The guest ---------------------------------------------------------------------------------
start_guest() {  # start_guest [QEMU OPTIONS...]; $guest_memory MB (default 512)
  (cd "$initrd" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz")
  mkfifo "$work/ctl.in" "$work/ctl.out"
  exec {to_guest}<>"$work/ctl.in" {from_guest}<>"$work/ctl.out"
  qemu-system-x86_64 -accel tcg -m "${guest_memory:-512}" -nographic -no-reboot -nodefaults \
    -kernel "$kdir/vmlinuz" -initrd "$work/initrd.gz" -append "console=ttyS0 quiet panic=-1" \
    -serial "file:$work/console.log" -serial "pipe:$work/ctl" -nic user,model=e1000 "$@" &
  qemu_pid=$!
  local line
  IFS= read -r -t 120 -u $from_guest line || { tail -30 "$work/console.log"; say "FAILED: the guest did not start"; exit 1; }
  say "guest up after $((SECONDS - start)) s"
}

answer=  # what the last guest command printed
guest() {  # guest COMMAND [TIMEOUT]: runs it in the guest; its exit status
  printf '%s\n' "${1//$'\n'/ }" >&$to_guest  # one line each
  answer=
  local line
  while IFS= read -r -t "${2:-300}" -u $from_guest line; do
    line=${line%$'\r'}
    if [[ $line == @@rc=* ]]; then return "${line#@@rc=}"; fi
    answer+=$line$'\n'
  done
  say "FAILED: the guest did not answer '$1'"; tail -20 "$work/console.log"; exit 1
}

# Attach every reader; DEV[busid] names its disk in the guest, found by the
# serial number of its USB device (the bus id's digits).
declare -A DEV
attach_readers() {
  local busids r busid
  busids=$(for r in "${readers[@]}"; do read -r busid _ <<<"$r"; printf '%s ' "$busid"; done)
  # The usbip tool cannot read the state of vhci-hcd while a device it
  # attached a moment ago is still being set up ("open vhci_driver"): it tries again.
  guest "for b in $busids; do
      for t in \$(seq 50); do usbip --tcp-port $port attach -r 10.0.2.2 -b \$b >/tmp/attach 2>&1 && break; sleep 0.2; done;
      [ \$t -lt 50 ] || { cat /tmp/attach; exit 2; };
    done;
    for i in \$(seq 300); do found=;
      for d in /sys/block/sd*; do [ -e \$d ] && found=\"\$found \$(cat \$d/device/../../../../serial) \${d##*/}\"; done;
      [ \$(echo \$found | wc -w) = $((2 * ${#readers[@]})) ] && echo \$found && exit 0; sleep 0.1;
    done; echo \$found; dmesg | tail -40; exit 1" || { echo "$answer"; say "FAILED: the readers did not all show as disks"; exit 1; }
  set -- $answer
  while [ $# -ge 2 ]; do DEV[${1:0:1}-${1:1}]=/dev/$2; shift 2; done
  guest "sleep 1"  # the kernel's own first look at every card
  say "readers attached after $((SECONDS - start)) s: $(for b in "${!DEV[@]}"; do printf '%s=%s ' "$b" "${DEV[$b]}"; done)"
}

stop_guest() {
  printf '/bin/busybox poweroff -f\n' >&$to_guest  # busybox's: the guest's init is no service manager
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=
  echo >&$control
  kill "$serve_pid"
  wait "$serve_pid" 2>/dev/null || true
  serve_pid=
}

# --- The cases -----------------------------------------------------------------------------------
# One row each: name | exit status | the output must hold | the output must
# not hold (texts parted by " ;; ") | what may reach a reader | at most
# seconds | the guest command
# (the rest of the line; {1-1} stands for reader 1-1's disk, {=NAME} for
# EXPECT[NAME]), or "host:" and a command run on the host instead ("control
# LINE" plays a card pulled or put back, a reader unplugged or plugged in,
# through smcard serve).
# What may reach a reader is BUSID=OPCODES, the first bytes of the commands
# its log may show during the case: "none" for nothing at all, "open" for
# what the kernel sends itself when a program opens or closes the disk.
open_ops="00 03 1E"
declare -A EXPECT

control() {  # a control line to smcard serve; prints what it logged in answer
  local lines
  lines=$(wc -l <"$log")
  echo "$*" >&$control
  for _ in $(seq 50); do [ "$(wc -l <"$log")" -gt "$lines" ] && break; sleep 0.1; done
  tail -n +"$((lines + 1))" "$log"
}
trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; printf '%s' "${s%"${s##*[![:space:]]}"}"; }
substitute() {  # {1-1} the disk of reader 1-1; {=NAME} what the host expects
  local s=$1 b
  for b in "${!DEV[@]}"; do s=${s//\{$b\}/${DEV[$b]}}; done
  for b in "${!EXPECT[@]}"; do s=${s//\{=$b\}/${EXPECT[$b]}}; done
  printf '%s' "$s"
}

run_cases() {  # run_cases TABLE
  local name status want unwanted reach seconds command before t0 rc took problems text busid allowed sent op
  while IFS='|' read -r name status want unwanted reach seconds command; do
    name=$(trim "$name"); command=$(substitute "$(trim "$command")")
    want=$(substitute "$(trim "$want")"); unwanted=$(trim "$unwanted"); reach=$(trim "$reach"); seconds=$(trim "$seconds")
    before=$(wc -l <"$log")
    t0=$SECONDS
    rc=0
    if [[ $command == host:* ]]; then answer=$(eval "${command#host:}" 2>&1) || rc=$?; else guest "$command" || rc=$?; fi
    took=$((SECONDS - t0))
    problems=()
    [ "$rc" = "$(trim "$status")" ] || problems+=("exit status $rc, not $(trim "$status")")
    [ -z "$want" ] || grep -qF -- "$want" <<<"$answer" || problems+=("no '$want' in the output")
    while [ -n "$unwanted" ]; do
      text=$(trim "${unwanted%% ;; *}")
      ! grep -qF -- "$text" <<<"$answer" || problems+=("'$text' in the output")
      [[ $unwanted == *" ;; "* ]] && unwanted=${unwanted#* ;; } || unwanted=
    done
    [ -z "$seconds" ] || [ "$took" -le "$seconds" ] || problems+=("took $took s, more than $seconds s")
    if [ -n "$reach" ]; then
      busid=${reach%%=*}; allowed=${reach#*=}; allowed=${allowed//open/$open_ops}
      sent=$(tail -n +"$((before + 1))" "$log" | awk -v b="$busid/" 'index($1, b) == 1 { print $2 }' | sort -u | tr '\n' ' ')
      for op in $sent; do
        [ "$allowed" != none ] && [[ " $allowed " == *" $op "* ]] || problems+=("command $op reached $busid")
      done
    fi
    checks=$((checks + 1))
    if [ ${#problems[@]} -eq 0 ]; then
      say "ok      $name (${took} s)"
    else
      failures=$((failures + 1))
      say "FAILED  $name: $(IFS=';'; echo "${problems[*]}")"
      sed 's/^/    | /' <<<"$answer" | tail -15
    fi
  done <<<"$1"
}

host_check() {  # host_check NAME COMMAND...
  local name=$1 out
  shift
  checks=$((checks + 1))
  if out=$("$@" 2>&1); then say "ok      $name"; else failures=$((failures + 1)); say "FAILED  $name"; echo "$out" | tail -10; fi
}

finish() {  # finish NAME: the summary line; fails when a check failed
  say "$((SECONDS - start)) s"
  echo "$1: $((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}
