#!/bin/busybox sh
# The test VM's first process: mounts, loads the USB and SCSI modules, runs the
# scenarios named on the kernel command line and powers off. Results go to the
# console as "ZQTEST ..." lines for the runner.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
while read -r module; do
  case "$module" in
    # four controllers: several bridges at once
    */dummy_hcd.ko*) insmod "/lib/modules/$module" num=4 ;;
    # scan at once instead of after a second
    */usb-storage.ko*) insmod "/lib/modules/$module" delay_use=0 ;;
    *) insmod "/lib/modules/$module" ;;
  esac || echo "ZQTEST detail could not load $module"
done </modules.load
mount -t configfs configfs /sys/kernel/config

. /scenarios.sh
wanted=$(sed -n 's/.*zq\.scenarios=\([^ ]*\).*/\1/p' /proc/cmdline | tr ',' ' ')
echo
run_scenarios $wanted
echo "ZQTEST done"
sync
poweroff -f
