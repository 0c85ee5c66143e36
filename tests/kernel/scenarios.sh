# Scenarios of the kernel tests, sourced by the VM's init. Each scenario_NAME
# runs in a subshell of its own, brings up the bridges it needs as USB
# functions on dummy_hcd, drives /usr/bin/zq5210 and ends with "exit 1" and a
# reason when the command line did not do what it should. Names say the fault
# each one catches.

# Run by default: every scenario; `stuck` alone is left out, for it polls a
# stuck erase for two minutes. Run it, or any other, by name.
DEFAULT_SCENARIOS="list_names_node_port_and_serial device_by_block_node_and_port
 verified_update_through_kernel identical_image_not_rewritten update_refused_while_mounted
 second_program_told_in_use plain_user_told_permission
 fault_write fault_read fault_short_read fault_lie_write fault_flip fault_erase
 fault_refuse_erase fault_status fault_info fault_vanish
 strangers_receive_no_vendor_command several_bridges_update_all udev_rule_gives_seat_user_access
 disk_and_cdrom_luns_one_bridge swap_on_disk_refuses_update stop_during_write_sends_no_block_twice
 eight_second_write_succeeds unit_attention_on_status_poll_retried silent_bridge_node_named
 info_device_touches_only_named_bridge verbose_shows_each_command
 mbr_fat_partition_updates_while_mounts_fail gpt_two_partitions_update thirty_two_bit_program_updates
 device_deleted_during_slow_command unplugged_during_chip_info_reads_unplugged
 missing_node_named_missing stop_while_another_bridge_reads_erases_nothing_more
 stop_at_once_not_overtaken_by_erase stop_after_failed_erase_exits_3
 station_updates_each_plug_once_idles_and_stops_at_ctrl_c station_logs_unplugged_bridge_failed_and_goes_on
 station_waits_for_udev_to_grant_nodes
 bench_32k_update"

GADGETS=/sys/kernel/config/usb_gadget
IMAGE=/root/sample.bin
# every bridge brought up gets a serial never used before in this boot
SERIAL_COUNTER=0

log() { echo "$*"; }
fail() {
  echo "FAILED: $*"
  exit 1
}

# bridge_up K VID PID SERIAL [function options]: a USB device on controller K
# (1-4) with the function behind it; waits until its disks are there.
bridge_up() {
  local k=$1 vid=$2 pid=$3 serial=$4 g ffs luns=1 i
  shift 4
  for i in "$@"; do case "$prev" in --luns) luns=$i ;; esac; prev=$i; done
  g=$GADGETS/g$k
  ffs=/run/ffs$k
  mkdir "$g" || fail "gadget g$k exists"
  echo "0x$vid" >"$g/idVendor"
  echo "0x$pid" >"$g/idProduct"
  mkdir "$g/strings/0x409"
  echo "$serial" >"$g/strings/0x409/serialnumber"
  echo ZQ >"$g/strings/0x409/manufacturer"
  echo "USB bridge" >"$g/strings/0x409/product"
  mkdir "$g/configs/c.1" "$g/functions/ffs.b$k"
  ln -s "$g/functions/ffs.b$k" "$g/configs/c.1/"
  mkdir -p "$ffs"
  mount -t functionfs "b$k" "$ffs" || fail "functionfs b$k"
  : >"/tmp/bridge$k.log"
  zq_usb_bridge_function --ffs "$ffs" --log "/tmp/bridge$k.log" --busy-file "/tmp/bridge$k.busy" \
    "$@" 2>"/tmp/bridge$k.err" &
  echo $! >"/tmp/bridge$k.pid"
  for i in $(seq 50); do [ -e "$ffs/ep1" ] && break; sleep 0.1; done
  [ -e "$ffs/ep1" ] || fail "the function for g$k did not start: $(cat /tmp/bridge$k.err)"
  echo "dummy_udc.$((k - 1))" >"$g/UDC" || fail "binding g$k"
  wait_nodes "$serial" "$luns"
}

bridge_down() {
  local k=$1 g=$GADGETS/g$1 pid
  [ -d "$g" ] || return 0
  echo "" >"$g/UDC" 2>/dev/null
  pid=$(cat "/tmp/bridge$k.pid" 2>/dev/null)
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  for i in $(seq 30); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
  umount "/run/ffs$k" 2>/dev/null
  rm -f "$g/configs/c.1/ffs.b$k"
  rmdir "$g/configs/c.1" "$g/functions/ffs.b$k" "$g/strings/0x409" "$g" 2>/dev/null
}

# The serial of the USB device a generic node (sg2) sits on.
serial_of() {
  local d
  d=$(readlink -f "/sys/class/scsi_generic/$1/device")
  while [ "$d" != "/" ] && [ -n "$d" ]; do
    if [ -f "$d/idVendor" ]; then
      cat "$d/serial" 2>/dev/null
      return
    fi
    d=${d%/*}
  done
}

# "/dev/sg2 /dev/sdb" for each of the device's LUNs that has its disk.
nodes_of() {
  local sg b
  for sg in $(ls /sys/class/scsi_generic 2>/dev/null); do
    [ "$(serial_of "$sg")" = "$1" ] || continue
    b=$(ls "/sys/class/scsi_generic/$sg/device/block" 2>/dev/null)
    [ -n "$b" ] && [ -e "/dev/$b" ] && echo "/dev/$sg /dev/$b"
  done
}

wait_nodes() {
  local i
  for i in $(seq 150); do
    [ "$(nodes_of "$1" | wc -l)" -ge "$2" ] && return 0
    sleep 0.1
  done
  fail "no disk for serial $1 after 15 s"
}

sg_of() { nodes_of "$1" | head -n 1 | cut -d' ' -f1; }
disk_of() { nodes_of "$1" | head -n 1 | cut -d' ' -f2; }
# "2-1": the USB port path of the device with this serial
port_of() {
  local d
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat "$d/serial" 2>/dev/null)" = "$1" ] && [ -f "$d/idVendor" ] && basename "$d"
  done
}

new_serial() {
  SERIAL_COUNTER=$((SERIAL_COUNTER + 1))
  echo "ZQ$1S$SERIAL_COUNTER"
}

# as_user COMMAND...: runs it as the plain user (uid 1000), without a seat's groups
as_user() { su -s /bin/sh -c "$*" user; }

# zq ARGS: runs the command line ($ZQ_PROGRAM, zq5210 unless set); $rc,
# /tmp/out and /tmp/err hold what it did.
zq() {
  echo "\$ ${ZQ_PROGRAM:-zq5210} $*"
  "${ZQ_PROGRAM:-zq5210}" "$@" >/tmp/out 2>/tmp/err
  rc=$?
  sed 's/^/  out: /' /tmp/out
  sed 's/^/  err: /' /tmp/err
  echo "  exit $rc"
}

json_message() { sed -n 's/.*"message": "\([^"]*\)".*/\1/p' /tmp/out; }
expect_rc() { [ "$rc" = "$1" ] || fail "exit $rc, expected $1"; }
expect_err() { grep -qF -- "$1" /tmp/err || fail "standard error lacks '$1'"; }
expect_out() { grep -qF -- "$1" /tmp/out || fail "standard output lacks '$1'"; }
# vendor commands the function behind controller K received
vendor_commands() { grep -cE ' op=(e0|e1|e2|e3|f7) ' "/tmp/bridge$1.log"; }
count_op() { grep -c " op=$2 " "/tmp/bridge$1.log"; }

# --- the ordinary path ---------------------------------------------------------

scenario_list_names_node_port_and_serial() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  zq list
  expect_rc 0
  set -- $(nodes_of "$s")
  grep -F "$1" /tmp/out | grep -F "$2" | grep -F "$(port_of "$s")" | grep -F "$s" |
    grep -qF "FW ver.2004.05.28.007" || fail "no line with $1 $2 $(port_of "$s") $s and the chip"
}

scenario_device_by_block_node_and_port() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  zq info --device "$(disk_of "$s")"
  expect_rc 0
  expect_out "Chip ID: VF040"
  zq info --device "$(port_of "$s")"
  expect_rc 0
  expect_out "Chip ID: VF040"
  expect_err "$(sg_of "$s")"
}

scenario_verified_update_through_kernel() {
  local s size
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  zq update "$IMAGE" --yes
  expect_rc 0
  expect_out "Updated OK!"
  zq read-rom /tmp/dump.bin
  expect_rc 0
  size=$(wc -c <"$IMAGE")
  cmp -n "$size" "$IMAGE" /tmp/dump.bin || fail "the flash does not hold the image"
  [ "$(count_op 1 e1)" = 1 ] || fail "$(count_op 1 e1) erase commands"
}

scenario_identical_image_not_rewritten() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  zq update "$IMAGE" --yes
  expect_rc 0
  zq update "$IMAGE" --yes
  expect_rc 0
  expect_out "The flash already holds this image."
  [ "$(count_op 1 e1)" = 1 ] || fail "erased again"
}

scenario_update_refused_while_mounted() {
  local s disk
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  disk=$(disk_of "$s")
  mkdosfs "$disk" >/dev/null || fail "mkdosfs"
  mkdir -p /mnt/bridge && mount -t vfat "$disk" /mnt/bridge || fail "mount"
  zq update "$IMAGE" --yes
  umount /mnt/bridge
  expect_rc 1
  expect_err "/mnt/bridge"
  [ "$(count_op 1 e1)" = 0 ] || fail "erased while mounted"
}

scenario_second_program_told_in_use() {
  local s i first
  s=$(new_serial 1)
  # the read before the erase takes three seconds
  bridge_up 1 3f1d 5210 "$s" --slow e3@1:3000
  zq5210 update "$IMAGE" --yes >/tmp/first.out 2>&1 &
  first=$!
  for i in $(seq 100); do grep -q ' op=e0 ' /tmp/bridge1.log && break; sleep 0.05; done
  zq info
  wait "$first"
  first=$?
  cat /tmp/first.out
  [ "$first" = 0 ] || fail "the first program's update failed ($first)"
  [ "$rc" != 0 ] || fail "the second program succeeded"
  expect_err "in use"
}

scenario_plain_user_told_permission() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  echo "\$ (as uid 1000) zq5210 list"
  as_user zq5210 list >/tmp/out 2>/tmp/err
  rc=$?
  cat /tmp/out /tmp/err
  [ "$rc" != 0 ] || fail "listed without access"
  grep -qi "permission" /tmp/err || fail "not told it is permission"
  [ "$(vendor_commands 1)" = 0 ] || fail "commands reached the bridge"
}

# --- each seeded fault: the same exit status and message as the emulated bridge

fault_parity() {
  local fault=$1 s emulated_rc emulated_message
  zq update "$IMAGE" --yes --json --emulate --emulate-fault "$fault"
  emulated_rc=$rc
  emulated_message=$(json_message)
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --fault "$fault"
  zq update "$IMAGE" --yes --json
  [ "$rc" = "$emulated_rc" ] || fail "exit $rc through the kernel, $emulated_rc emulated"
  [ "$(json_message)" = "$emulated_message" ] ||
    fail "'$(json_message)' through the kernel, '$emulated_message' emulated"
  [ "$rc" != 0 ] || [ "$fault" = "flip:0x2000" ] || fail "the fault went unnoticed"
}

scenario_fault_write() { fault_parity write:3; }
scenario_fault_read() { fault_parity read:2; }
scenario_fault_short_read() { fault_parity short-read:3; }
scenario_fault_lie_write() { fault_parity lie-write:2; }
scenario_fault_flip() { fault_parity flip:0x0010; }
scenario_fault_erase() { fault_parity erase; }
scenario_fault_refuse_erase() { fault_parity refuse-erase; }
# busy for ever: the command line gives up after two minutes
scenario_fault_stuck() { fault_parity stuck; }
scenario_fault_status() { fault_parity status; }
scenario_fault_info() { fault_parity info; }
# unplugged in the middle of the write (command 18: info, ten reads, erase,
# three polls, then the writes)
scenario_fault_vanish() {
  fault_parity vanish:18
  expect_rc 3
  [ "$(count_op 1 e2)" -ge 2 ] || fail "gone before the write"
}

# --- strangers and several bridges -------------------------------------------

scenario_strangers_receive_no_vendor_command() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  bridge_up 2 1234 5678 "$(new_serial 2)"
  # another product of the bridge's maker
  bridge_up 3 3f1d 5211 "$(new_serial 3)"
  zq list
  expect_rc 0
  [ "$(grep -c /dev/sg /tmp/out)" = 1 ] || fail "list shows more than the bridge"
  zq info
  expect_rc 0
  zq update "$IMAGE" --yes
  expect_rc 0
  zq read-rom /tmp/dump.bin
  expect_rc 0
  zq update "$IMAGE" --yes --rewrite --all
  expect_rc 0
  [ "$(vendor_commands 2)" = 0 ] || fail "the plain disk received vendor commands"
  [ "$(vendor_commands 3)" = 0 ] || fail "the other product received vendor commands"
  zq info --device "$(sg_of "$(cat /sys/kernel/config/usb_gadget/g2/strings/0x409/serialnumber)")"
  [ "$rc" != 0 ] || fail "a stranger named by --device was accepted"
  [ "$(vendor_commands 2)" = 0 ] || fail "the plain disk named by --device received vendor commands"
}

scenario_several_bridges_update_all() {
  local k
  for k in 1 2 3; do bridge_up $k 3f1d 5210 "$(new_serial $k)"; done
  zq list
  [ "$(grep -c /dev/sg /tmp/out)" = 3 ] || fail "list does not show three bridges"
  zq update "$IMAGE" --all --yes
  expect_rc 0
  for k in 1 2 3; do
    [ "$(count_op $k e1)" = 1 ] || fail "bridge $k erased $(count_op $k e1) times"
    [ "$(count_op $k e2)" -gt 0 ] || fail "bridge $k received no write"
  done
}

# a real udev, with uid 1000 as the seat's active user
start_udevd() {
  [ -x /bin/udevadm ] || fail "udevadm is not in the VM"
  mkdir -p /run/systemd/seats /run/udev
  printf 'ACTIVE=c1\nACTIVE_UID=1000\n' >/run/systemd/seats/seat0
  ln -sf /bin/udevadm /bin/systemd-udevd
  systemd-udevd --daemon --resolve-names=never 2>/tmp/udevd.err || fail "udevd: $(cat /tmp/udevd.err)"
}

# The rule, applied by a real udev, gives the user at the seat the bridge's
# nodes and nothing else: udev's uaccess builtin sets the ACL for the seat's
# active user, as logind records it under /run/systemd/seats.
scenario_udev_rule_gives_seat_user_access() {
  local s stranger sg disk ssg
  [ -x /bin/udevadm ] || fail "udevadm is not in the VM"
  start_udevd
  s=$(new_serial 1)
  stranger=$(new_serial 2)
  bridge_up 1 3f1d 5210 "$s"
  bridge_up 2 1234 5678 "$stranger"
  udevadm trigger --action=add --subsystem-match=scsi_generic --subsystem-match=block
  udevadm settle --timeout=20
  sg=$(sg_of "$s")
  disk=$(disk_of "$s")
  ssg=$(sg_of "$stranger")
  udevadm info --query=property "$sg" | grep -q 'TAGS=.*:uaccess:' || fail "$sg has no uaccess tag"
  udevadm info --query=property "$disk" | grep -q 'TAGS=.*:uaccess:' || fail "$disk untagged"
  udevadm info --query=property "$ssg" | grep -q 'TAGS=.*:uaccess:' && fail "$ssg tagged"
  echo "\$ (as uid 1000) zq5210 list"
  as_user zq5210 list >/tmp/out 2>/tmp/err
  rc=$?
  cat /tmp/out /tmp/err
  udevadm control --exit
  expect_rc 0
  expect_out "$sg"
  as_user cat "$ssg" 2>/dev/null </dev/null &&
    fail "the user reached the stranger's $ssg"
  return 0
}

# --- benchmark: printed, never asserted ----------------------------------------

uptime_cs() { tr -d . </proc/uptime | cut -d' ' -f1; }

scenario_bench_32k_update() {
  local s start end busy
  head -c 32768 /dev/urandom >/tmp/32k.bin
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --timing
  start=$(uptime_cs)
  zq update /tmp/32k.bin --yes
  end=$(uptime_cs)
  expect_rc 0
  busy=$(cat /tmp/bridge1.busy)
  echo "ZQTEST bench verified 32 KiB update through the kernel: $(awk -v t=$((end - start)) \
    -v b="$busy" 'BEGIN { printf "%.2f s, the device busy %.2f s, ratio %.2f", t / 100, b / 1e6, t / 100 / (b / 1e6) }')" >/dev/console
}

# --- what real machines add: LUNs, swap, signals, slow commands, attentions ----

# one chip answering as a disk and as a CD-ROM drive is one bridge, updated once
scenario_disk_and_cdrom_luns_one_bridge() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --luns 2 --cdrom
  ls /sys/class/scsi_generic/*/device/block | grep -q '^sr' || fail "no CD-ROM drive appeared"
  zq list
  [ "$(grep -c /dev/sg /tmp/out)" = 1 ] || fail "listed $(grep -c /dev/sg /tmp/out) times"
  zq update "$IMAGE" --yes
  expect_rc 0
  [ "$(count_op 1 e1)" = 1 ] || fail "erased $(count_op 1 e1) times"
}

# --- enclosures as they are sold: partitioned, formatted, mounted --------------

# the first partition of the disk with this serial, once the kernel shows it
partition_of() {
  local disk i
  disk=$(disk_of "$1")
  for i in $(seq 50); do [ -e "$disk$2" ] && break; sleep 0.1; done
  [ -e "$disk$2" ] || fail "the kernel found no partition $2 on $disk"
  echo "$disk$2"
}

# whether process $1 still runs (a zombie has already closed its files)
running() { [ -r "/proc/$1/status" ] && ! grep -q '^State:.*[ZX] (' "/proc/$1/status"; }
# whether process $1 has the node $2 open
holds_open() {
  local f
  for f in /proc/"$1"/fd/*; do [ "$(readlink "$f")" = "$2" ] && return 0; done
  return 1
}

# An MBR disk with a FAT partition: a mounted partition is named and nothing
# is erased; unmounted, the update claims the disk, a mount tried every
# 100 ms meanwhile fails, and the update succeeds
scenario_mbr_fat_partition_updates_while_mounts_fail() {
  local s part disk pid reads mounted=0 held=0
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --partition-table mbr --slow e2@1:1500
  part=$(partition_of "$s" 1)
  mkdosfs "$part" >/dev/null || fail "mkdosfs $part"
  mkdir -p /mnt/bridge
  mount -t vfat "$part" /mnt/bridge || fail "mount $part"
  zq update "$IMAGE" --yes
  umount /mnt/bridge
  expect_rc 1
  expect_err "mounted on /mnt/bridge"
  [ "$(count_op 1 e1)" = 0 ] || fail "erased while mounted"

  reads=$(count_op 1 e3)
  disk=$(disk_of "$s")
  zq5210 update "$IMAGE" --yes >/tmp/out 2>/tmp/err &
  pid=$!
  # the disk is claimed before the flash is read
  for i in $(seq 200); do [ "$(count_op 1 e3)" -gt "$reads" ] && break; sleep 0.05; done
  # A mount counts only while the program holds the disk before and after it:
  # the claim ends when the program exits, before the shell sees it gone.
  while running "$pid"; do
    holds_open "$pid" "$disk" && held=1
    if [ "$held" = 1 ] && mount -t vfat "$part" /mnt/bridge 2>/dev/null; then
      holds_open "$pid" "$disk" && mounted=$((mounted + 1))
      umount /mnt/bridge
    fi
    sleep 0.1
  done
  wait "$pid"
  rc=$?
  cat /tmp/err
  expect_rc 0
  [ "$held" = 1 ] || fail "the update never held $disk open"
  [ "$mounted" = 0 ] || fail "$part was mounted $mounted times during the update"
  mount -t vfat "$part" /mnt/bridge || fail "$part does not mount after the update"
  umount /mnt/bridge
}

scenario_gpt_two_partitions_update() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --partition-table gpt
  partition_of "$s" 2 >/dev/null
  zq update "$IMAGE" --yes
  expect_rc 0
  [ "$(count_op 1 e1)" = 1 ] || fail "erased $(count_op 1 e1) times"
}

# --- a 32-bit program on the 64-bit kernel (ia32 emulation) ---------------------

scenario_thirty_two_bit_program_updates() {
  local s
  [ -x /usr/bin/zq5210-32 ] ||
    fail "no 32-bit zq5210 in the VM (g++-multilib, scripts/deps.sh kernel)"
  [ "$(od -An -tx1 -j4 -N1 /usr/bin/zq5210-32 | tr -d ' ')" = 01 ] || fail "zq5210-32 is not 32-bit"
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  ZQ_PROGRAM=zq5210-32 zq info
  expect_rc 0
  expect_out "Chip ID: VF040"
  ZQ_PROGRAM=zq5210-32 zq update "$IMAGE" --yes
  expect_rc 0
  [ "$(count_op 1 e1)" = 1 ] || fail "erased $(count_op 1 e1) times"
}

# --- devices that go ---------------------------------------------------------------

# deleted through sysfs during a slow command: the wait ends at once, without
# spinning until the command's time is up
scenario_device_deleted_during_slow_command() {
  local s sg cpu start waited before
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --slow e3@2:6000
  sg=$(sg_of "$s")
  rm -f /tmp/rc /tmp/time
  (time -p -o /tmp/time zq5210 update "$IMAGE" --yes >/tmp/out 2>/tmp/err; echo $? >/tmp/rc) &
  for i in $(seq 200); do [ "$(count_op 1 e3)" -ge 1 ] && break; sleep 0.05; done
  sleep 0.3
  # CPU time (cs) the program used before the deletion
  before=$(awk '{ print $14 + $15 }' "/proc/$(pidof zq5210)/stat")
  echo 1 >"/sys/class/scsi_generic/${sg#/dev/}/device/delete" &
  start=$(uptime_cs)
  # the failed read is said at once; the process may end only once the kernel
  # has finished deleting the disk, which waits for the command
  for i in $(seq 100); do grep -q "Can't read" /tmp/err && break; sleep 0.05; done
  waited=$(($(uptime_cs) - start))
  for i in $(seq 100); do [ -s /tmp/rc ] && break; sleep 0.1; done
  cat /tmp/err /tmp/time
  echo "the read failed $waited cs after the deletion"
  [ -s /tmp/rc ] || fail "still running 10 s after the device was deleted"
  # the command itself would have run on for more than 5 s
  [ "$waited" -lt 300 ] || fail "the wait ended only $waited cs after the deletion"
  [ "$(count_op 1 e1)" = 0 ] || fail "erased a device being deleted"
  cpu=$(awk -v before="$before" '/^(user|sys)/ { t += $2 } END { printf "%d", t * 100 - before }' \
    /tmp/time)
  echo "CPU after the deletion: $cpu cs"
  [ "$cpu" -lt 100 ] || fail "the wait took $cpu cs of CPU time"
}

scenario_unplugged_during_chip_info_reads_unplugged() {
  local s sg
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --fault vanish:1
  sg=$(sg_of "$s")
  zq info
  expect_rc 0
  # its second command takes it off the bus
  zq list
  expect_err "$sg: unplugged"
}

# sysfs without the node, as in a container given /sys alone
scenario_missing_node_named_missing() {
  local s sg
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  sg=$(sg_of "$s")
  rm "$sg"
  zq list
  expect_err "$sg: missing"
  expect_err "docker run --device $sg"
}

# --- stops that must not race the erase ---------------------------------------------

# bridge 1 writes, bridge 2 still reads before its erase: a stop lets bridge 1
# finish its write and erases nothing more
scenario_stop_while_another_bridge_reads_erases_nothing_more() {
  local pid i
  bridge_up 1 3f1d 5210 "$(new_serial 1)" --slow e2:300
  bridge_up 2 3f1d 5210 "$(new_serial 2)" --slow e3@3:4000
  zq5210 update "$IMAGE" --all --yes >/tmp/out 2>/tmp/err &
  pid=$!
  for i in $(seq 200); do grep -q ' op=e2 ' /tmp/bridge1.log && break; sleep 0.05; done
  kill -TERM "$pid"
  wait "$pid"
  rc=$?
  cat /tmp/err
  [ "$(count_op 2 e1)" = 0 ] || fail "bridge 2 was erased after the stop"
  [ "$(count_op 1 e1)" = 1 ] || fail "bridge 1 erased $(count_op 1 e1) times"
  expect_rc 130
}

# a stop that ends at once while its report waits on a stalled reader: the
# update, its look at the flash done meanwhile, erases nothing
scenario_stop_at_once_not_overtaken_by_erase() {
  local pid filler
  bridge_up 1 3f1d 5210 "$(new_serial 1)" --slow e3@2:2000
  mkfifo /tmp/stalled
  exec 3<>/tmp/stalled
  head -c 70000 /dev/zero >/tmp/stalled &
  filler=$!
  zq5210 update "$IMAGE" --yes --json >/tmp/stalled 2>/tmp/err &
  pid=$!
  for i in $(seq 200); do grep -q ' op=e3 ' /tmp/bridge1.log && break; sleep 0.05; done
  kill -TERM "$pid"
  sleep 3
  erased=$(count_op 1 e1)
  kill "$filler"
  cat /tmp/stalled >/dev/null &
  wait "$pid"
  rc=$?
  exec 3<&-
  cat /tmp/err
  [ "$erased" = 0 ] || fail "erased after the stop was asked for"
  [ "$rc" = 130 ] || [ "$rc" = 1 ] || fail "exit $rc, expected 130 or 1"
}

# bridge 1 failed after its erase, bridge 2 still reads: a stop says the
# bridge may hold no firmware and exits 3, never 130
scenario_stop_after_failed_erase_exits_3() {
  local pid i
  bridge_up 1 3f1d 5210 "$(new_serial 1)" --fault write:2
  bridge_up 2 3f1d 5210 "$(new_serial 2)" --slow e3@2:5000
  zq5210 update "$IMAGE" --all --yes --json >/tmp/out 2>/tmp/err &
  pid=$!
  for i in $(seq 200); do grep -q ' op=e2 .*csw=1' /tmp/bridge1.log && break; sleep 0.05; done
  sleep 0.5
  kill -TERM "$pid"
  wait "$pid"
  rc=$?
  cat /tmp/out /tmp/err
  expect_rc 3
  expect_err "may hold no working firmware"
  expect_out '"exit_code": 3'
  [ "$(count_op 2 e1)" = 0 ] || fail "bridge 2 was erased after the stop"
}

scenario_swap_on_disk_refuses_update() {
  local s disk
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  disk=$(disk_of "$s")
  mkswap "$disk" >/dev/null && swapon "$disk" || fail "swapon"
  zq update "$IMAGE" --yes
  swapoff "$disk"
  [ "$rc" != 0 ] || fail "updated while the disk is swap"
  [ "$(count_op 1 e1)" = 0 ] || fail "erased while the disk is swap"
}

# a stop during a write: no block is sent twice
scenario_stop_during_write_sends_no_block_twice() {
  local s pid i
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --slow e2:700
  zq5210 update "$IMAGE" --yes >/tmp/out 2>/tmp/err &
  pid=$!
  for i in $(seq 200); do grep -q ' op=e2 ' /tmp/bridge1.log && break; sleep 0.05; done
  for i in 1 2 3; do kill -TERM "$pid"; sleep 0.3; done
  wait "$pid"
  rc=$?
  cat /tmp/err
  grep ' op=e2 ' /tmp/bridge1.log
  [ -z "$(grep ' op=e2 ' /tmp/bridge1.log | cut -d' ' -f3 | sort | uniq -d)" ] ||
    fail "blocks written twice: $(grep ' op=e2 ' /tmp/bridge1.log | cut -d' ' -f3 | sort | uniq -d)"
  expect_rc 130
}

scenario_eight_second_write_succeeds() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --slow e2@2:8000
  zq update "$IMAGE" --yes
  expect_rc 0
}

scenario_unit_attention_on_status_poll_retried() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --unit-attention f7@1
  zq update "$IMAGE" --yes
  expect_rc 0
}

scenario_silent_bridge_node_named() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --no-info
  zq list
  expect_err "$(sg_of "$s")"
}

# info --device names one bridge: no other bridge is opened or sent a command
scenario_info_device_touches_only_named_bridge() {
  local a b
  a=$(new_serial 1)
  b=$(new_serial 2)
  bridge_up 1 3f1d 5210 "$a"
  bridge_up 2 3f1d 5210 "$b"
  zq info --device "$(sg_of "$b")"
  expect_rc 0
  [ "$(vendor_commands 1)" = 0 ] || fail "the other bridge received $(vendor_commands 1) commands"
}

# a report from a real machine can be read: each command with its outcome
scenario_verbose_shows_each_command() {
  local s
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  zq info --verbose
  expect_rc 0
  expect_err "E0 00 00 00 00 00"
}

# --- the station: bridges plugged in one after another ------------------------------

STATION_LOG=/tmp/station.log

# log_field N KEY: KEY's value on line N of the station's log, text or number
log_field() {
  sed -n "$1p" "$STATION_LOG" |
    sed -n -e "s/.*\"$2\":\"\([^\"]*\)\".*/\1/p" -e "s/.*\"$2\":\(-*[0-9]*\)[,}].*/\1/p"
}
log_count() { if [ -f "$STATION_LOG" ]; then wc -l <"$STATION_LOG"; else echo 0; fi; }

# log_lines N: waits until the station has logged N bridges
log_lines() {
  local i
  for i in $(seq 600); do
    [ "$(log_count)" -ge "$1" ] && return 0
    sleep 0.1
  done
  fail "the station logged $(log_count) bridges, not $1, within 60 s"
}

# expect_logged N SERIAL USB_PORT DEVICE RESULT EXIT_CODE: line N, field by field
expect_logged() {
  local n=$1 field
  shift
  for field in serial usb_port device result exit_code; do
    [ "$(log_field "$n" "$field")" = "$1" ] ||
      fail "log line $n has $field '$(log_field "$n" "$field")', not '$1': $(sed -n "${n}p" "$STATION_LOG")"
    shift
  done
}

# whether process $1 holds a socket on the kernel's uevents (netlink protocol 15)
listens_to_uevents() {
  local inode
  for inode in $(ls -l "/proc/$1/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\].*/\1/p'); do
    awk -v i="$inode" '$2 == 15 && $NF == i { found = 1 } END { exit !found }' /proc/net/netlink &&
      return 0
  done
  return 1
}

# the station's process, once it waits on the kernel's uevents; false when
# none does within 10 s
station_pid() {
  local i pid
  for i in $(seq 100); do
    pid=$(pidof zq5210)
    [ -n "$pid" ] && listens_to_uevents "$pid" && echo "$pid" && return 0
    sleep 0.1
  done
  return 1
}

# the station's CPU time so far, in clock ticks (1/100 s)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# station DRIVER [OPTION...]: the station runs in the foreground, as at a
# terminal (a job started with & has Ctrl-C ignored), while DRIVER plugs
# bridges in beside it, checks its log and ends it with Ctrl-C. A driver that
# failed still ends it; one that does not end within 10 s is killed.
station() {
  local driver=$1 pid i
  shift
  rm -f "$STATION_LOG" /tmp/driver.status
  (
    ("$driver")
    echo $? >/tmp/driver.status
    pid=$(pidof zq5210) && kill -INT "$pid"
    for i in $(seq 100); do [ -z "$(pidof zq5210)" ] && break; sleep 0.1; done
    pid=$(pidof zq5210) && kill -KILL "$pid" && echo "FAILED: the station was still running"
  ) >/tmp/driver.out 2>&1 &
  if [ -n "${STATION_USER:-}" ]; then
    echo "\$ (as uid 1000) zq5210 update $IMAGE --watch --yes --log $STATION_LOG $*"
    as_user zq5210 update "$IMAGE" --watch --yes --log "$STATION_LOG" "$@" >/tmp/out 2>/tmp/err
    rc=$?
    cat /tmp/out /tmp/err
  else
    zq update "$IMAGE" --watch --yes --log "$STATION_LOG" "$@"
  fi
  wait
  sed 's/^/  driver: /' /tmp/driver.out
  cat "$STATION_LOG"
  grep -q '^FAILED: ' /tmp/driver.out && fail "$(grep '^FAILED: ' /tmp/driver.out | tail -n 1 | cut -c9-)"
  [ "$(cat /tmp/driver.status 2>/dev/null)" = 0 ] || fail "the driver ended with $(cat /tmp/driver.status)"
}

# three bridges plugged in one after another, each updated once and logged;
# the first pulled out and plugged in again is updated again; then idle, the
# station sleeps on the kernel's uevents; Ctrl-C ends its wait at once
drive_three_plugs_replug_idle_ctrl_c() {
  local k s pid s1 port1 before used start waited i
  pid=$(station_pid) || fail "no station listening to the kernel's uevents after 10 s"
  for k in 1 2 3; do
    s=$(new_serial $k)
    bridge_up $k 3f1d 5210 "$s"
    log_lines $k
    expect_logged $k "$s" "$(port_of "$s")" "$(sg_of "$s")" updated 0
    [ $k = 1 ] && s1=$s && port1=$(port_of "$s")
  done
  bridge_down 1
  bridge_up 1 3f1d 5210 "$s1"
  log_lines 4
  expect_logged 4 "$s1" "$port1" "$(sg_of "$s1")" updated 0
  sleep 1
  before=$(cpu_ticks "$pid")
  sleep 3
  used=$(($(cpu_ticks "$pid") - before))
  echo "CPU while idle: $used ticks in 3 s"
  [ "$used" -lt 30 ] || fail "the idle station used $used ticks of CPU in 3 s"
  [ "$(log_count)" = 4 ] || fail "$(log_count) bridges logged, not 4"
  for k in 1 2 3; do
    [ "$(count_op $k e1)" = 1 ] || fail "bridge $k erased $(count_op $k e1) times on its last plug"
  done
  kill -INT "$pid"
  start=$(uptime_cs)
  # the shell that started it reaps it at once: its /proc entry goes with it
  for i in $(seq 100); do [ -d "/proc/$pid" ] || break; sleep 0.02; done
  waited=$(($(uptime_cs) - start))
  echo "ended $waited cs after Ctrl-C"
  running "$pid" && fail "still running after Ctrl-C"
  [ "$waited" -lt 100 ] || fail "the wait ended only $waited cs after Ctrl-C"
  echo "ZQTEST measured station: idle, $used ticks of CPU in 3 s; Ctrl-C ended it in $waited cs" \
    >/dev/console
}

scenario_station_updates_each_plug_once_idles_and_stops_at_ctrl_c() {
  station drive_three_plugs_replug_idle_ctrl_c
  expect_rc 130
}

# pulled out in the middle of the write (its 18th command): logged as failed,
# and the next bridge is still taken and updated. Its first read is slow, so
# that its node can be seen before it goes.
drive_unplugged_mid_write() {
  local s port sg
  station_pid >/dev/null || fail "no station listening to the kernel's uevents after 10 s"
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s" --fault vanish:18 --slow e3@1:1000
  port=$(port_of "$s")
  sg=$(sg_of "$s")
  log_lines 1
  expect_logged 1 "$s" "$port" "$sg" failed 3
  [ "$(count_op 1 e2)" -ge 2 ] || fail "gone before the write"
  s=$(new_serial 2)
  bridge_up 2 3f1d 5210 "$s"
  log_lines 2
  expect_logged 2 "$s" "$(port_of "$s")" "$(sg_of "$s")" updated 0
}

scenario_station_logs_unplugged_bridge_failed_and_goes_on() {
  station drive_unplugged_mid_write
  # stopped after a bridge failed after its erase
  expect_rc 3
}

# the kernel tells of a bridge before udev has given the seat's user its nodes:
# a plain user's station takes it only once they open
drive_one_plug_granted_by_udev() {
  local s
  station_pid >/dev/null || fail "no station listening to the kernel's uevents after 10 s"
  s=$(new_serial 1)
  bridge_up 1 3f1d 5210 "$s"
  log_lines 1
  expect_logged 1 "$s" "$(port_of "$s")" "$(sg_of "$s")" updated 0
}

scenario_station_waits_for_udev_to_grant_nodes() {
  start_udevd
  cp "$IMAGE" /tmp/station.bin
  IMAGE=/tmp/station.bin STATION_USER=1 station drive_one_plug_granted_by_udev --count 1
  expect_rc 0
}

# --- the runner ------------------------------------------------------------------

teardown_all() {
  local k
  for k in 1 2 3 4; do bridge_down $k; done
  [ -S /run/udev/control ] && udevadm control --exit 2>/dev/null
  swapoff -a 2>/dev/null
  umount /mnt/bridge 2>/dev/null
  rm -f /tmp/dump.bin /tmp/stalled /tmp/rc /tmp/time
}

run_scenarios() {
  local name start out status
  [ $# -gt 0 ] || set -- $DEFAULT_SCENARIOS
  for name in "$@"; do
    out=/tmp/scenario.$name
    if ! type "scenario_$name" >/dev/null 2>&1; then
      echo "ZQTEST FAIL $name: no such scenario"
      continue
    fi
    start=$(uptime_cs)
    (scenario_"$name") >"$out" 2>&1
    status=$?
    teardown_all >/dev/null 2>&1
    if [ "$status" = 0 ]; then
      echo "ZQTEST ok $name ($(awk -v t=$(($(uptime_cs) - start)) 'BEGIN { printf "%.1f", t / 100 }') s)"
    else
      echo "ZQTEST FAIL $name: $(grep '^FAILED: ' "$out" | tail -n 1 | cut -c9-)"
      tail -n 40 "$out" | sed "s|^|ZQTEST detail $name: |"
      for k in 1 2 3 4; do
        [ -s /tmp/bridge$k.log ] && tail -n 12 /tmp/bridge$k.log | sed "s|^|ZQTEST detail $name: bridge$k: |"
      done
    fi
    rm -f /tmp/bridge?.log
  done
}
