# Sourced by a rig guest script (busybox sh): a drive served by tcmu_drive
# through the kernel's SCSI target, seen by the guest as one more CD-ROM
# drive. Needs RIG_MODULES="configfs uio target_core_mod target_core_user
# tcm_loop" on the rig's command line and /rig/tcmu_drive.
#   tcmu_setup               loads the modules and makes the user backstore
#   tcmu_start NAME [OPT..]  starts the drive with its options; record in /tmp/NAME.record,
#                            the pages it took in /tmp/NAME.image once it stopped
#   tcmu_link                makes the loopback target; sets TCMU_SR and TCMU_SG
#   tcmu_stop                stops the drive, which then writes its record's last lines
#   tcmu_teardown            undoes tcmu_link and tcmu_setup
TCMU_MODULES="configfs uio target_core_mod target_core_user tcm_loop"
TCMU_CONFIG=/sys/kernel/config/target
TCMU_STORE=$TCMU_CONFIG/core/user_0/drive
TCMU_NAA=$TCMU_CONFIG/loopback/naa.5001405000000a01
TCMU_PID=
TCMU_SR=
TCMU_SG=

tcmu_say() { echo "tcmu: $*"; }

# waits up to $1 tenths of a second for the command after it to succeed.
tcmu_wait() {
    tcmu_n=$1
    shift
    while ! "$@"; do
        tcmu_n=$((tcmu_n - 1))
        [ $tcmu_n -gt 0 ] || return 1
        sleep 0.1
    done
}

tcmu_setup() {
    for m in $TCMU_MODULES; do
        insmod /rig/modules/$m.ko || { tcmu_say "cannot load $m"; return 1; }
    done
    mount -t configfs none /sys/kernel/config || return 1
    mkdir -p $TCMU_STORE || return 1
    echo -n dev_size=1048576,dev_config=drive/rig >$TCMU_STORE/control || return 1
    # No time-out of the target's own: a command left unanswered ends only
    # when the initiator's time-out aborts it, and the drive hears of that.
    echo 0 >$TCMU_STORE/attrib/cmd_time_out || return 1
    echo 1 >$TCMU_STORE/attrib/tmr_notification || return 1
    echo 1 >$TCMU_STORE/enable || return 1
    TCMU_UIO=
    for u in /sys/class/uio/uio*; do
        case $(cat $u/name) in tcm-user/*/drive/rig) TCMU_UIO=/dev/${u##*/} ;; esac
    done
    [ -n "$TCMU_UIO" ] || { tcmu_say "no uio device for the backstore"; return 1; }
    tcmu_wait 50 test -c $TCMU_UIO || { tcmu_say "$TCMU_UIO did not appear"; return 1; }
}

tcmu_start() {
    tcmu_name=$1
    shift
    rm -f /tmp/$tcmu_name.record /tmp/$tcmu_name.image
    /rig/tcmu_drive --uio $TCMU_UIO --record /tmp/$tcmu_name.record --image /tmp/$tcmu_name.image "$@" \
        2>/tmp/$tcmu_name.drive.err &
    TCMU_PID=$!
    tcmu_wait 50 grep -q '^READY' /tmp/$tcmu_name.record 2>/dev/null ||
        { tcmu_say "the drive did not start: $(cat /tmp/$tcmu_name.drive.err)"; return 1; }
}

tcmu_stop() {
    [ -n "$TCMU_PID" ] || return 0
    kill -TERM $TCMU_PID
    wait $TCMU_PID
    tcmu_rc=$?
    TCMU_PID=
    [ $tcmu_rc -eq 0 ] || tcmu_say "the drive exited $tcmu_rc: $(cat /tmp/$tcmu_name.drive.err)"
    return $tcmu_rc
}

# The nodes of the SCSI device under the loopback target's adapter.
tcmu_find_nodes() {
    for d in /sys/class/scsi_device/*; do
        case $(readlink -f $d/device) in */tcm_loop_adapter_*) ;; *) continue ;; esac
        for b in $d/device/block/sr*; do [ -e "$b" ] && TCMU_SR=/dev/${b##*/}; done
        for g in $d/device/scsi_generic/sg*; do [ -e "$g" ] && TCMU_SG=/dev/${g##*/}; done
    done
    [ -n "$TCMU_SR" ] && [ -c "$TCMU_SG" ] && [ -b "$TCMU_SR" ]
}

tcmu_link() {
    mkdir -p $TCMU_NAA/tpgt_1 || return 1
    # The nexus first: a LUN made before it is scanned without one and fails.
    echo naa.5001405000000a02 >$TCMU_NAA/tpgt_1/nexus || return 1
    mkdir $TCMU_NAA/tpgt_1/lun/lun_0 || return 1
    ln -s $TCMU_STORE $TCMU_NAA/tpgt_1/lun/lun_0/drive || return 1
    tcmu_wait 100 tcmu_find_nodes || { tcmu_say "no sr and sg node for the loopback target"; return 1; }
    tcmu_say "drive at $TCMU_SR and $TCMU_SG"
}

tcmu_teardown() {
    rm -f $TCMU_NAA/tpgt_1/lun/lun_0/drive
    rmdir $TCMU_NAA/tpgt_1/lun/lun_0 $TCMU_NAA/tpgt_1 $TCMU_NAA 2>/dev/null
    tcmu_stop
    rmdir $TCMU_STORE $TCMU_CONFIG/core/user_0 || { tcmu_say "the backstore stayed"; return 1; }
    umount /sys/kernel/config
}
