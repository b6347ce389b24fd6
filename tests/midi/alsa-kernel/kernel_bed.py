#!/usr/bin/env python3
"""A real kernel ALSA sequencer for the tests: boots Debian 12's kernel in QEMU with its sequencer
modules and plays update files through midiflash-cli to a user-space client, to snd-virmidi (read
back from its rawmidi device) and to snd-serial-u16550 wrapped by snd-seq-midi, whose UART the host
drains at exactly 3125 bytes a second like a MIDI cable. Every case compares the exact byte stream;
on the cable, the gaps between the messages of a System Exclusive file are measured too.

  kernel_bed.py test  --cli PATH --recorder PATH --cache DIR
  kernel_bed.py bench --cli PATH --probe PATH --cache DIR
"""
import argparse
import ctypes
import errno
import glob
import hashlib
import io
import json
import lzma
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

CABLE = 3125  # bytes a second on a 31250-baud cable
# Load order, from `modinfo -F depends`; the serial and port modules come after the UART is freed.
MODULES = ["soundcore", "snd", "snd-timer", "snd-hrtimer", "snd-seq-device", "snd-seq",
           "snd-seq-dummy", "snd-seq-midi-event", "snd-rawmidi", "snd-seq-virmidi", "snd-virmidi",
           "snd-serial-u16550", "snd-seq-midi"]


# ---- update files ----------------------------------------------------------------------------

def varlen(v):
    out = [v & 0x7F]
    while v >> 7:
        v >>= 7
        out.insert(0, 0x80 | (v & 0x7F))
    return bytes(out)


def smf(events, division=96):
    """A one-track file of (delta, message) pairs; System Exclusive messages start with F0."""
    body = b""
    for delta, m in events:
        body += varlen(delta) + (b"\xf0" + varlen(len(m) - 1) + m[1:] if m[0] == 0xF0 else m)
    body += b"\x00\xff\x2f\x00"
    return (b"MThd" + (6).to_bytes(4, "big") + bytes([0, 0, 0, 1]) + division.to_bytes(2, "big")
            + b"MTrk" + len(body).to_bytes(4, "big") + body)


def sysex(n, seed=0):
    """F0, a pattern, F7: n bytes in all (a lone F0 for 1)."""
    if n == 1:
        return b"\xf0"
    return b"\xf0" + bytes(((i * 7 + seed) & 0x7F) for i in range(1, n - 1)) + b"\xf7"


CHANNEL = [bytes.fromhex(h) for h in
           ["903c64", "903e64", "c507", "d340", "803c00", "b00764", "e00040", "a03c10", "df7f"]]

# name -> messages with their deltas (96 ticks a quarter note: 96 ticks are half a second).
CASES = {
    "channel": [(12, m) for m in CHANNEL],
    "sysex1": [(96, sysex(1))],
    "sysex4": [(96, sysex(4))],
    "sysex1000": [(96, sysex(1000))],
    "sysex5000": [(96, sysex(5000, 1))],
    "sysex30000": [(96, sysex(30000, 2))],
    "sysex50000": [(96, sysex(50000, 3))],
    "unterminated": [(96, bytes.fromhex("f04312"))],
    "blocks20x96": [(96, sysex(1000, i)) for i in range(20)],
    "blocks60x24": [(24, sysex(1000, i)) for i in range(60)],
}
# A System Exclusive file, played with the default gap: on the cable each message must begin at
# least RAW_GAP s after the previous one ended.
RAW = ("raw", [sysex(6, 1), sysex(300, 2), sysex(1000, 3), sysex(2, 4), sysex(1000, 5),
               sysex(50, 6)])
RAW_GAP = 0.1
# The user-space destination that exits after 5000 bytes, in the middle of twenty blocks, four
# seconds before the next one: the run ends within UNPLUG_LIMIT s of the exit, as timed in the
# guest (half a second, plus a quarter for an emulated CPU that also serves the other runs), not
# when its next message fails.
GONE = ("gone", [(768 if i == 5 else 96, sysex(1000, i)) for i in range(20)], 5000)
UNPLUG_LIMIT = 0.75
# A user-space destination started after the recorder yet listed before it, chosen by identity.
INSERTED = ("ident", CASES["channel"], "inserted:in")
# The serial port while another program holds its rawmidi output: the connection is refused.
REFUSED = ("refused", CASES["channel"])
# Last on the serial port: the host stops reading, as if the device stopped taking bytes.
STALL = ("stall", [(96, sysex(40000, 4))])
BENCH = ("bench", [(12, sysex(1000, i)) for i in range(60)])  # five times what the cable carries

DESTINATIONS = {  # name -> (port for --port, how the guest records it)
    "user": ("recorder:in", "seq"),
    "virmidi": ("Virtual Raw MIDI 0-0", "rawmidi hw:0,0"),
    "serial": ("Serial MIDI (UART16550A)", None),  # a unique prefix of its name
}
# As `check --port` tells them: 28-byte cells, less the event's own: 2000 in our output pool, 200
# in a default input pool; a kernel MIDI port takes any size, in pieces.
LARGEST = ["Midi Through:Midi Through Port-0, messages of up to 55,972 bytes",
           "Virtual Raw MIDI 0-0:VirMIDI 0-0, messages of any size",
           "Serial MIDI (UART16550A):Serial MIDI 1, messages of any size",
           "small:in, messages of up to 5,572 bytes"]
# Driven through the workflow as in the window: two updates with 6 s idle between them and the
# file chosen again (nothing of the first run may stand in the way of the second), and a
# destination chosen after the file (it gets the opening messages; the first one got them too).
OPENING = [(0, sysex(40, 1)), (0, sysex(3, 2))]
TWICE = ("twice", OPENING + [(24, m) for m in CHANNEL])
SWITCH = ("switch", OPENING + [(24, m) for m in CHANNEL])
# The largest that a default input pool takes whole, and a byte more: case -> (events, status).
SMALL_POOL_CASES = {"sysex5572": ([(96, sysex(5572, 5))], 0),
                    "sysex5573": ([(96, sysex(5573, 6))], 1)}
EXPECTED_LIST = ["Midi Through:Midi Through Port-0", "Virtual Raw MIDI 0-0:VirMIDI 0-0",
                 "Serial MIDI (UART16550A):Serial MIDI 1"]
# Devices that answer Identity Requests: a user-space client ("responder", restarting as a new
# client of the same name once the update has completed) and snd-virmidi answered from its rawmidi
# side. identify to each, and to snd-virmidi with nobody answering; then a verified run with its
# receipt to each.
REQUEST = bytes.fromhex("f07e7f0601f7")
WHO = "non-commercial (7D), family 0x0012, model 0x00B4, software revision "
IDENTIFY = {"id-user": ("responder:in", 0), "id-virmidi": ("Virtual Raw MIDI 0-0", 0),
            "id-silent": ("Virtual Raw MIDI 0-0", 6)}
VERIFY = {"user": "responder:in", "virmidi": "Virtual Raw MIDI 0-0"}


def stream(events):
    return b"".join(m for _, m in events)


# ---- the guest -------------------------------------------------------------------------------

def prepare_kernel(cache):
    """Debian's kernel, downloaded once: the ELF inside vmlinuz (boots in 2-3 s instead of 7-8)
    and the sound modules. Returns (vmlinux, module folder)."""
    os.makedirs(cache, exist_ok=True)

    def current():
        deps = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True,
                              text=True).stdout
        return re.search(r"Depends: (linux-image-\S+)", deps)

    m = current()
    if not m:  # package lists never fetched on this machine
        subprocess.run(["apt-get", "update", "-qq"], check=False)
        m = current()
    if not m:
        sys.exit("kernel_bed: apt-cache knows no linux-image-amd64 (run apt-get update)")
    version = m.group(1)[len("linux-image-"):]
    root = os.path.join(cache, version)
    vmlinux = os.path.join(root, "vmlinux")
    if not os.path.exists(vmlinux):
        tmp = tempfile.mkdtemp(dir=cache)
        subprocess.run(["apt-get", "download", "-q", m.group(1)], cwd=tmp, check=True,
                       stdout=subprocess.DEVNULL)
        deb = glob.glob(os.path.join(tmp, "*.deb"))[0]
        tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True,
                             check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(tar)) as t:
            wanted = [x for x in t.getmembers()
                      if x.name.startswith("./boot/vmlinuz-") or "/kernel/sound/" in x.name]
            t.extractall(tmp, members=wanted)
        image = open(glob.glob(os.path.join(tmp, "boot", "vmlinuz-*"))[0], "rb").read()
        elf = lzma.LZMADecompressor().decompress(image[image.find(b"\xfd7zXZ\x00"):])
        os.makedirs(root, exist_ok=True)
        for ko in glob.glob(os.path.join(tmp, "lib", "modules", "*", "kernel", "sound", "**",
                                         "*.ko"), recursive=True):
            shutil.copy(ko, root)
        with open(vmlinux + ".part", "wb") as f:
            f.write(elf)
        os.rename(vmlinux + ".part", vmlinux)
        shutil.rmtree(tmp)
        for old in os.listdir(cache):  # earlier kernels
            if old != version:
                shutil.rmtree(os.path.join(cache, old), ignore_errors=True)
    return vmlinux, root


def copy_program(path, root, name):
    """Copies a program and the shared libraries it needs into the guest's tree."""
    shutil.copy(path, os.path.join(root, "bin", name))
    for line in subprocess.run(["ldd", path], capture_output=True, text=True).stdout.splitlines():
        lib = re.search(r"(/\S+)", line.split("=>")[-1])
        if lib and os.path.exists(lib.group(1)):
            dest = os.path.join(root, lib.group(1).lstrip("/"))
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            shutil.copy(lib.group(1), dest)


GUEST_INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin HOME=/tmp
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
mkdir -p /dev/shm /tmp /out; mount -t tmpfs shm /dev/shm
for m in soundcore snd snd-timer snd-hrtimer snd-seq-device snd-seq snd-seq-dummy \
         snd-seq-midi-event snd-rawmidi snd-seq-virmidi; do insmod /lib/snd/$m.ko; done
insmod /lib/snd/snd-virmidi.ko index=0 midi_devs=1
# COM2 belongs to the serial console driver until it is let go.
for d in /sys/bus/pnp/devices/*; do
  grep -q 'io 0x2f8' $d/resources 2>/dev/null && echo ${d##*/} > /sys/bus/pnp/drivers/serial/unbind
done
insmod /lib/snd/snd-serial-u16550.ko index=1 port=0x2f8 irq=3 speed=38400 base=115200
insmod /lib/snd/snd-seq-midi.ko
stty -F /dev/ttyS2 raw -echo
echo "bed: modules loaded"

# play DEST CASE PORT [RECORDER ARGS...]: one run, with the recorder (if any) around it.
play() {
  dest=$1 name=$2 port=$3; shift 3; out=/out/$dest-$name
  if [ $# -gt 0 ]; then
    alsa_recorder "$@" & rec=$!
    while [ ! -e $out.bin.ready ] && kill -0 $rec 2>/dev/null; do sleep 0.05; done
  fi
  midiflash-cli -v play $OPTS /cases/$name.* --port "$port" > $out.txt 2> $out.err; echo $? > $out.rc
  cut -d' ' -f1 /proc/uptime > $out.end
  if [ $# -gt 0 ]; then kill -TERM $rec 2>/dev/null; wait $rec; fi
  echo "bed: $dest $name exit $(cat $out.rc)"
}
"""


def guest_script(mode):
    lines = [GUEST_INIT]
    if mode == "bench":
        lines.append('alsa_cable_probe /cases/bench.dat "Serial MIDI 1" > /out/probe.txt 2> /dev/null')
    else:
        for dest, (port, rec) in DESTINATIONS.items():
            runs = []
            for name in list(CASES) + [RAW[0]]:
                args = ""
                if rec:
                    kind = rec.split()
                    args = " ".join([kind[0]] + kind[1:] + [f"/out/{dest}-{name}.bin"])
                runs.append(f"play {dest} {name} {shlex.quote(port)} {args}")
            if dest == "user":
                runs.append(f"play user {GONE[0]} recorder:in seq /out/user-{GONE[0]}.bin {GONE[2]}")
            if dest == "serial":
                runs.append(f"exec 3> /dev/snd/midiC1D0; play serial {REFUSED[0]} {shlex.quote(port)}; "
                            "exec 3>&-")
                runs.append(f"echo 'bed: stall'; sleep 1; play serial {STALL[0]} {shlex.quote(port)}")
            lines.append("(\n" + "\n".join(runs) + "\n) &")
        lines.append("wait")
        # The largest message of each destination, a user-space one with the kernel's default
        # input pool among them, and what that one takes whole.
        lines.append("POOL=0 alsa_recorder seq /out/small.bin 0 small & s=$!; "
                     "while [ ! -e /out/small.bin.ready ]; do sleep 0.05; done; "
                     "for i in 0 1 2 3; do midiflash-cli check /cases/channel.dat --port $i "
                     "| grep '^destination: '; done > /out/largest.txt 2>&1; kill -TERM $s; wait $s")
        for name in SMALL_POOL_CASES:
            lines.append(f"(export POOL=0; play small {name} small:in seq /out/small-{name}.bin 0 small)")
        lines.append("midiflash-cli list > /out/list.txt 2>&1; "
                     "midiflash-cli list --json > /out/list.json 2>&1")
        # list --watch while a user-space destination comes and goes.
        lines.append("midiflash-cli list --watch > /out/watch.txt 2>&1 & w=$!; sleep 1; "
                     "alsa_recorder seq /out/watch.bin & r=$!; "
                     "while [ ! -e /out/watch.bin.ready ]; do sleep 0.05; done; sleep 1; "
                     "kill -TERM $r; wait $r; sleep 1; kill -INT $w; wait $w; "
                     "echo $? >> /out/watch.txt")
        # The kernel gives a new client the lowest free number and the list follows the numbers:
        # the one started last takes the number a placeholder left and is listed first.
        ready = "while [ ! -e /out/{0}.bin.ready ]; do sleep 0.05; done"
        lines.append(f"alsa_recorder seq /out/hold.bin & h=$!; {ready.format('hold')}; "
                     f"alsa_recorder seq /out/{INSERTED[0]}-B.bin & b=$!; "
                     f"{ready.format(INSERTED[0] + '-B')}; kill -TERM $h; wait $h; "
                     f"alsa_recorder seq /out/{INSERTED[0]}-A.bin 0 {INSERTED[2].split(':')[0]} "
                     f"& a=$!; {ready.format(INSERTED[0] + '-A')}; "
                     f"midiflash-cli list > /out/{INSERTED[0]}-list.txt 2>&1; "
                     f"play {INSERTED[0]} {INSERTED[0]} \"$(cat /out/{INSERTED[0]}-B.bin.ready)\"; "
                     "kill -TERM $a $b; wait $a $b")
        driver = ("alsa_recorder seq /out/{0}.bin 0 {0} & {0}=$!; "
                  "while [ ! -e /out/{0}.bin.ready ]; do sleep 0.05; done")
        lines.append(f"{driver.format('twice')}; workflow_driver dest twice file /cases/twice.dat "
                     "run - idle 6 file /cases/twice.dat run - > /out/twice.txt 2>&1; "
                     "kill -TERM $twice; wait $twice")
        lines.append(f"{driver.format('first')}; {driver.format('second')}; workflow_driver "
                     "dest first file /cases/switch.dat dest second run - > /out/switch.txt 2>&1; "
                     "kill -TERM $first $second; wait $first $second")
        ready = "while [ ! -e /out/{0}.ready ]; do sleep 0.05; done"
        for name, (port, _) in IDENTIFY.items():
            rec = ("seq /out/{0}.bin 0 responder" if name == "id-user" else
                   "rawmidi hw:0,0 /out/{0}.bin").format(name)
            answer = "" if name == "id-silent" else "ANSWER=fresh "
            lines.append(f"{answer}alsa_recorder {rec} & r=$!; {ready.format(name + '.bin')}; "
                         f"midiflash-cli identify --json --port {shlex.quote(port)} "
                         f"> /out/{name}.json 2>&1; echo $? > /out/{name}.rc; "
                         "kill -TERM $r; wait $r")
        opts = "OPTS='--verify --verify-wait 8 --receipt /out/verify-{0}.receipt'"
        # The responder takes the update, then restarts once the run completed, as a new client
        # (another client takes the number it had: the kernel gives out the lowest free one).
        lines.append(f"ANSWER=fresh alsa_recorder seq /out/verify-user-A.bin 0 responder & a=$!; "
                     f"{ready.format('verify-user-A.bin')}; "
                     f"(while ! grep -q 'Updating is completed' /out/verify-user-channel.txt "
                     "2>/dev/null; do sleep 0.05; done; kill -TERM $a; wait $a; "
                     f"alsa_recorder seq /out/verify-hold.bin & h=$!; {ready.format('verify-hold.bin')}; "
                     "ANSWER=updated alsa_recorder seq /out/verify-user-B.bin 0 responder & b=$!; "
                     f"sleep 6; kill -TERM $b $h; wait $b $h) & w=$!; "
                     f"({opts.format('user')}; play verify-user channel responder:in); wait $w")
        lines.append(f"ANSWER=fresh alsa_recorder rawmidi hw:0,0 /out/verify-virmidi.bin & v=$!; "
                     f"{ready.format('verify-virmidi.bin')}; "
                     f"({opts.format('virmidi')}; play verify-virmidi channel "
                     f"{shlex.quote(VERIFY['virmidi'])}); kill -TERM $v; wait $v")
        lines.append("dmesg > /out/dmesg.txt")
        # No sequencer: every module that holds it goes.
        lines.append("rmmod snd-seq-midi snd-virmidi snd-seq-virmidi snd-seq-dummy "
                     "snd-seq-midi-event snd-seq")
        lines.append("midiflash-cli list > /out/noseq-list.txt; echo $? >> /out/noseq-list.txt")
        lines.append("midiflash-cli play /cases/channel.dat > /out/noseq-play.txt 2>&1; "
                     "echo $? > /out/noseq-play.rc")
    lines.append("tar -cf /dev/ttyS2 -C /out . && sleep 1")
    lines.append("echo 'bed: done'; poweroff -f")
    return "\n".join(lines) + "\n"


def build_initramfs(work, args, mode):
    root = os.path.join(work, "root")
    for d in ["bin", "lib/snd", "cases", "usr/share/alsa", "proc", "sys", "dev"]:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    shutil.copy("/bin/busybox", os.path.join(root, "bin", "busybox"))
    copy_program(args.cli, root, "midiflash-cli")
    if mode == "bench":
        copy_program(args.probe, root, "alsa_cable_probe")
    else:
        copy_program(args.recorder, root, "alsa_recorder")
        copy_program(args.driver, root, "workflow_driver")
    shutil.copy("/usr/share/alsa/alsa.conf", os.path.join(root, "usr/share/alsa"))
    for m in MODULES:
        shutil.copy(os.path.join(args.modules, m + ".ko"), os.path.join(root, "lib/snd"))
    cases = dict(CASES, **{c[0]: c[1] for c in (GONE, REFUSED, STALL, BENCH, INSERTED, TWICE,
                                                SWITCH)},
                 **{name: c[0] for name, c in SMALL_POOL_CASES.items()})
    for name, events in cases.items():
        with open(os.path.join(root, "cases", name + ".dat"), "wb") as f:
            f.write(smf(events))
    with open(os.path.join(root, "cases", RAW[0] + ".syx"), "wb") as f:
        f.write(b"".join(RAW[1]))
    with open(os.path.join(root, "init"), "w") as f:
        f.write(guest_script(mode))
    os.chmod(os.path.join(root, "init"), 0o755)
    image = os.path.join(work, "initrd.cpio")
    files = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    with open(image, "wb") as f:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=files, stdout=f,
                       check=True)
    return image


class Cable(threading.Thread):
    """The host end of the guest's MIDI UART, drained at exactly 3125 bytes a second while bytes
    wait, however late this thread wakes. A line empty for over 30 ms has gone idle and starts
    afresh; shorter gaps are QEMU's or this machine's hiccups, not the guest's."""

    def __init__(self, sock, console):
        super().__init__(daemon=True)
        self.sock, self.console, self.data = sock, console, bytearray()
        self.times = []  # when each byte of `data` was taken (None for those taken by finish())
        self.first = self.last = None
        self.done = threading.Event()
        self.stall, self.next_look = False, 0.0

    def stalled(self):
        """True once the guest has asked for a stalled device (looked for every 50 ms)."""
        if not self.stall and time.monotonic() >= self.next_look:
            self.next_look = time.monotonic() + 0.05
            with open(self.console, "rb") as f:
                self.stall = b"bed: stall" in f.read()
        return self.stall

    def run(self):
        busy_since, taken, empty_since = None, 0, None
        self.sock.setblocking(False)
        while not self.done.is_set():
            time.sleep(0.002)
            now = time.monotonic()
            if self.stalled():
                continue
            due = 1 if busy_since is None else int((now - busy_since) * CABLE) - taken
            if due < 1:
                continue
            try:
                chunk = self.sock.recv(due)
            except BlockingIOError:
                empty_since = empty_since or now
                if now - empty_since > 0.03:
                    busy_since, taken = None, 0
                continue
            if not chunk:
                return  # the guest's end is closed
            empty_since = None
            if busy_since is None:
                busy_since, taken = now - len(chunk) / CABLE, 0
            self.first = self.first or now
            self.last = now
            self.data += chunk
            self.times += [now] * len(chunk)
            taken += len(chunk)

    def finish(self):
        """Once QEMU has gone: whatever it had taken from the guest, unpaced."""
        self.done.set()
        self.join()
        self.sock.setblocking(True)
        self.sock.settimeout(1)
        try:
            while chunk := self.sock.recv(65536):
                self.data += chunk
        except (socket.timeout, OSError):
            pass


def boot(work, vmlinux, initrd, timeout):
    """Runs the guest to its end. Returns (result files, cable bytes, cable, console text)."""
    ours, qemus = socket.socketpair()
    # QEMU writes the UART's bytes one at a time: this holds about 340 of them, 0.1 s of cable.
    qemus.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 131072)
    ours.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    results, console = os.path.join(work, "results.tar"), os.path.join(work, "console.txt")
    cmd = ["qemu-system-x86_64", "-accel", "tcg,tb-size=64,thread=multi", "-cpu", "max", "-smp",
           "1", "-m", "192", "-nodefaults", "-display", "none", "-no-reboot", "-nic", "none",
           "-chardev", f"file,id=con,path={console}", "-serial", "chardev:con",
           "-chardev", f"socket,id=midi,fd={qemus.fileno()}", "-serial", "chardev:midi",
           "-chardev", f"file,id=res,path={results}", "-serial", "chardev:res",
           "-kernel", vmlinux, "-initrd", initrd, "-append", "console=ttyS0 quiet panic=-1"]
    open(console, "wb").close()
    cable = Cable(ours, console)
    cable.start()
    # QEMU dies with this script, also when a test runner kills the script first.
    libc = ctypes.CDLL(None, use_errno=True)
    proc = subprocess.Popen(cmd, pass_fds=[qemus.fileno()], stdin=subprocess.DEVNULL,
                            preexec_fn=lambda: libc.prctl(1, signal.SIGKILL))  # PR_SET_PDEATHSIG
    qemus.close()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    cable.finish()
    text = open(console, errors="replace").read() if os.path.exists(console) else ""
    files = {}
    if os.path.exists(results) and os.path.getsize(results) > 0:
        try:
            with tarfile.open(results) as t:
                for m in t.getmembers():
                    if m.isfile():
                        files[os.path.basename(m.name)] = t.extractfile(m).read()
        except tarfile.TarError as e:
            print(f"kernel_bed: unreadable results: {e}")
    return files, cable, text


# ---- checks ----------------------------------------------------------------------------------

def strip_port_select(data, times=None):
    """The serial adaptor announces its port with F5 01; the rest is the stream as sent. With
    `times`, also the times of the bytes kept."""
    kept, kept_times, i = bytearray(), [], 0
    while i < len(data):
        if data[i:i + 2] == b"\xf5\x01":
            i += 2
            continue
        kept.append(data[i])
        kept_times.append(times[i] if times and i < len(times) else None)
        i += 1
    return (bytes(kept), kept_times) if times is not None else bytes(kept)


def gaps(times, start, messages):
    """Seconds from the last byte of each message to the first of the next, the first message
    standing at `start` in the cable's stream (none when it is -1)."""
    out = []
    for m in messages if start >= 0 else []:
        end = start + len(m)
        if end < len(times) and times[end - 1] is not None and times[end] is not None:
            out.append(times[end] - times[end - 1])
        start = end
    return out


def first_difference(got, want):
    n = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return f"{len(got)} bytes instead of {len(want)}, first difference at byte {n}"


def unaddressed(listing):
    """A listing without the "client:port" addresses that stand before the names."""
    return re.sub(r"(?m)^((?:added |removed )?\d+): \d+:\d+ ", r"\1: ", listing)


def addresses(listing):
    return re.findall(r"(?m)^\d+: (\d+:\d+) ", listing)


def check(files, cable):
    failures = []

    def expect(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    def run_line(key):
        return files.get(key + ".txt", b"").decode(errors="replace").strip().splitlines()[-1:]

    for dest in DESTINATIONS:
        for name, events in CASES.items():
            key = f"{dest}-{name}"
            rc = files.get(key + ".rc", b"?").strip().decode()
            expect(rc == "0" and run_line(key) == ["Updating is completed !!"],
                   f"{key}: exit {rc}, last line {run_line(key)}")
            if dest != "serial":
                got, want = files.get(key + ".bin", b""), stream(events)
                expect(got == want, f"{key}: bytes ({first_difference(got, want)})")
        key = f"{dest}-{RAW[0]}"
        rc = files.get(key + ".rc", b"?").strip().decode()
        expect(rc == "0" and run_line(key) == ["Updating is completed !!"],
               f"{key}: exit {rc}, last line {run_line(key)}")
        if dest != "serial":
            got, want = files.get(key + ".bin", b""), b"".join(RAW[1])
            expect(got == want, f"{key}: bytes ({first_difference(got, want)})")
    # The serial cases ran one after another: their bytes follow each other on the cable, then
    # what of the stalled message got out before the host stopped reading.
    before_raw = b"".join(stream(e) for e in CASES.values())
    want = before_raw + b"".join(RAW[1])
    got, times = strip_port_select(bytes(cable.data), cable.times)
    expect(got[:len(want)] == want and stream(STALL[1]).startswith(got[len(want):]),
           f"serial cable: bytes ({first_difference(got[:len(want)], want)})")
    # Measured where the file's bytes stand, also when an earlier case lost some of its own.
    measured = sorted(gaps(times, got.find(b"".join(RAW[1])), RAW[1][:-1]))
    if measured:
        print(f"serial cable, gap asked {RAW_GAP * 1e3:.0f} ms: measured min "
              f"{measured[0] * 1e3:.1f}, median {measured[len(measured) // 2] * 1e3:.1f}, max "
              f"{measured[-1] * 1e3:.1f} ms")
    # The host takes a byte within 2 ms of its arrival; the program counts a message as gone only
    # once a cable 5 % slower would have sent it, plus 50 ms for the UART's own buffer.
    expect(len(measured) == len(RAW[1]) - 1 and measured[0] >= RAW_GAP - 0.004
           and measured[-1] <= RAW_GAP + 0.3,
           f"serial-{RAW[0]}: {len(RAW[1]) - 1} gaps of {RAW_GAP} s at least, measured {measured}")
    rc = files.get(f"serial-{STALL[0]}.rc", b"?").strip().decode()
    text = files.get(f"serial-{STALL[0]}.txt", b"").decode(errors="replace")
    log = files.get(f"serial-{STALL[0]}.err", b"").decode(errors="replace")
    expect(rc == "3" and f"Send error ! {-errno.ETIMEDOUT}" in text
           and f"MIDISend err = {-errno.ETIMEDOUT}" in log,
           f"serial-{STALL[0]}: exit {rc}, {text[-60:]!r}, {log[-120:]!r}")

    name, events, stop = GONE
    rc = files.get(f"user-{name}.rc", b"?").strip().decode()
    text = files.get(f"user-{name}.txt", b"").decode(errors="replace")
    expect(rc == "3" and re.search(r"\nSend error ! -\d+\n.*\ngone.dat: stopped at tick \d+ of 2592, "
                                   r"\d+ %, [\d,]+ of 20,000 bytes sent\n$", text) is not None,
           f"user-{name}: exit {rc}, {text[-200:]!r}")
    got = files.get(f"user-{name}.bin", b"")
    expect(got == stream(events)[:len(got)] and len(got) >= stop,
           f"user-{name}: {len(got)} bytes, all of them as sent")
    try:
        late = float(files[f"user-{name}.end"]) - float(files[f"user-{name}.bin.exit"])
    except (KeyError, ValueError):
        late = None
    log = files.get(f"user-{name}.err", b"").decode(errors="replace")
    expect(late is not None and late <= UNPLUG_LIMIT and log.count(" err = ") == 1,
           f"user-{name}: the run ended {late if late is None else round(late, 3)} s after the destination exited (at most "
           f"{UNPLUG_LIMIT}), log {log[-200:]!r}")

    name, events, listed = INSERTED
    listing = unaddressed(files.get(f"{name}-list.txt", b"").decode())
    expect(listing.replace(" (pass-through)", "") == "".join(f"{i}: {n}\n" for i, n in
                              enumerate(EXPECTED_LIST + [listed, DESTINATIONS["user"][0]])),
           f"{name}: {listed} listed before the recorder: {listing!r}")
    rc = files.get(f"{name}-{name}.rc", b"?").strip().decode()
    expect(rc == "0" and run_line(f"{name}-{name}") == ["Updating is completed !!"],
           f"{name}: exit {rc}, last line {run_line(f'{name}-{name}')}")
    got, other = files.get(f"{name}-B.bin", b""), files.get(f"{name}-A.bin")
    expect(got == stream(events) and other == b"",
           f"{name}: the recorder chosen by identity got {first_difference(got, stream(events))}, "
           f"{listed} got {other!r}")

    rc = files.get(f"serial-{REFUSED[0]}.rc", b"?").strip().decode()
    text = files.get(f"serial-{REFUSED[0]}.txt", b"").decode(errors="replace")
    log = files.get(f"serial-{REFUSED[0]}.err", b"").decode(errors="replace")
    refused = re.search(r"snd_seq_connect_to err = (-\d+)", log)
    expect(rc == "3" and bool(refused) and f"Send error ! {refused and refused.group(1)}" in text,
           f"serial-{REFUSED[0]}: exit {rc}, {text[-60:]!r}, {log[:100]!r}")

    largest = files.get("largest.txt", b"").decode()
    expect(largest == "".join(f"destination: {line}\n" for line in LARGEST),
           f"largest messages: {largest!r}")
    twice = files.get("twice.txt", b"").decode(errors="replace")
    expect(files.get("twice.bin", b"") == stream(TWICE[1]) * 2
           and twice.count("Updating is completed !!\n") == 2 and "error" not in twice,
           f"two runs 6 s apart: {len(files.get('twice.bin', b''))} bytes, {twice[-300:]!r}")
    switch = files.get("switch.txt", b"").decode(errors="replace")
    expect(files.get("first.bin", b"") == stream(OPENING)
           and files.get("second.bin", b"") == stream(SWITCH[1])
           and "2 opening messages went to second:in." in switch
           and switch.endswith("Updating is completed !!\n"),
           f"destination chosen after the file: {switch[-300:]!r}")
    for name, (events, status) in SMALL_POOL_CASES.items():
        rc = files.get(f"small-{name}.rc", b"?").strip().decode()
        got = files.get(f"small-{name}.bin", b"")
        text = files.get(f"small-{name}.txt", b"").decode(errors="replace")
        expect(rc == str(status) and got == (stream(events) if status == 0 else b"")
               and (status == 0 or "small:in carries at most 5,572 bytes" in text),
               f"small-{name}: exit {rc} (want {status}), {len(got)} bytes, "
               f"{files.get(f'small-{name}.txt', b'').decode(errors='replace')[-60:]!r}")

    listing = files.get("list.txt", b"").decode()
    expect(unaddressed(listing) == "".join(f"{i}: {n}\n" for i, n in enumerate(EXPECTED_LIST))
           .replace("Port-0\n", "Port-0 (pass-through)\n", 1), f"list: {listing!r}")
    as_json = json.loads(files.get("list.json", b"[]").decode() or "[]")
    expect([(d["name"], d["pass_through"], d["id"]) for d in as_json]
           == [(n, i == 0, a) for i, (n, a) in enumerate(zip(EXPECTED_LIST, addresses(listing)))],
           f"list --json: {as_json!r}")
    dmesg = files.get("dmesg.txt", b"").decode(errors="replace")
    expect("seq_midi" not in dmesg, "no seq_midi line in the kernel log")
    watch = unaddressed(files.get("watch.txt", b"").decode()).replace(" (pass-through)", "")
    n = len(EXPECTED_LIST)
    expect(watch == "".join(f"{i}: {name}\n" for i, name in enumerate(EXPECTED_LIST))
           + f"added {n}: recorder:in\nremoved {n}: recorder:in\n0\n", f"list --watch: {watch!r}")

    for name, (port, status) in IDENTIFY.items():
        rc = files.get(name + ".rc", b"?").strip().decode()
        text = files.get(name + ".json", b"").decode(errors="replace")
        got = files.get(name + ".bin", b"")
        try:
            answer = json.loads(text)
        except ValueError:
            answer = {}
        ok = rc == str(status) and got == REQUEST and answer.get("answered") == (status == 0)
        if status == 0:
            ok = ok and answer.get("software_revision") == "1.0.0.0" and answer.get(
                "manufacturer") == {"id": "7D", "name": "non-commercial"}
        expect(ok, f"{name}: exit {rc} (want {status}), the device got {got!r}, {text.strip()!r}")
    channel = stream(CASES["channel"])
    for dest, port in VERIFY.items():
        key = f"verify-{dest}-channel"
        rc = files.get(key + ".rc", b"?").strip().decode()
        text = files.get(key + ".txt", b"").decode(errors="replace")
        expect(rc == "0" and f"{WHO}1.0.0.0" in text
               and text.endswith(f"{WHO}1.0.1.0, device ID 0x10\n"
                                 "Software revision: 1.0.0.0 \u2192 1.0.1.0\n"),
               f"{key}: exit {rc}, {text[-300:]!r}")
        # What the device received, field by field in the receipt.
        if dest == "user":
            before, after = files.get("verify-user-A.bin", b""), files.get("verify-user-B.bin", b"")
        else:
            got = files.get("verify-virmidi.bin", b"")
            before, after = got[:len(REQUEST) + len(channel)], got[len(REQUEST) + len(channel):]
        requests = len(after) // len(REQUEST)
        expect(before == REQUEST + channel and requests >= 1 and after == REQUEST * requests,
               f"{key}: the device got {first_difference(before, REQUEST + channel)}, then "
               f"{after!r}")
        try:
            r = json.loads(files.get(f"verify-{dest}.receipt", b"{}"))
        except ValueError:
            r = {}
        b, a = r.get("identity_before") or {}, r.get("identity_after") or {}
        want = {"bytes_sent": len(channel), "bytes_delivered": len(channel),
                "messages_sent": len(CASES["channel"]), "messages_delivered": len(CASES["channel"]),
                "ticks_played": 12 * len(CHANNEL), "ticks_total": 12 * len(CHANNEL),
                "exit_status": 0, "outcome": "Updating is completed !!"}
        got = {k: r.get(k) for k in want}
        restarted = dest != "user" or a.get("destination", {}).get("id") != b.get(
            "destination", {}).get("id")
        expect(got == want and r.get("file", {}).get("sha256") ==
               hashlib.sha256(smf(CASES["channel"])).hexdigest()
               and b.get("software_revision") == "1.0.0.0" and b.get("requests") == 1
               and a.get("software_revision") == "1.0.1.0" and a.get("requests") == requests
               and a.get("destination", {}).get("name") == r.get("destination", {}).get("name")
               and restarted and r.get("started", "") < r.get("ended", ""),
               f"verify-{dest}: receipt {got} of {want}, before {b}, after {a}")

    noseq = files.get("noseq-list.txt", b"").decode()
    expect(noseq == "2\n", f"list without a sequencer: {noseq!r}")
    rc = files.get("noseq-play.rc", b"?").strip().decode()
    text = files.get("noseq-play.txt", b"").decode()
    expect(rc == "2" and "no MIDI service" in text,
           f"play without a sequencer: exit {rc}, {text.strip()!r}")
    return failures


def main():
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=["test", "bench"])
    p.add_argument("--cli", required=True)
    p.add_argument("--recorder")
    p.add_argument("--probe")
    p.add_argument("--driver")
    p.add_argument("--cache", required=True)
    p.add_argument("--timeout", type=int, default=240)
    args = p.parse_args()
    start = time.monotonic()
    vmlinux, args.modules = prepare_kernel(args.cache)
    with tempfile.TemporaryDirectory() as work:
        initrd = build_initramfs(work, args, args.mode)
        files, cable, console = boot(work, vmlinux, initrd, args.timeout)
        if args.mode == "bench":
            sent = len(stream(BENCH[1]))
            got = len(strip_port_select(bytes(cable.data)))
            if cable.first and got == sent:
                rate = (got - 1) / (cable.last - cable.first)
                print(f"alsa_cable_bytes_per_second: {rate:.0f} ({100 * rate / CABLE:.1f} % of "
                      f"{CABLE})")
            else:
                print(f"alsa_cable_bytes_per_second: n/a ({got} of {sent} bytes arrived)")
            print(files.get("probe.txt", b"alsa_cable_probe: no output\n").decode(), end="")
            return 0
        if os.environ.get("KERNEL_BED_KEEP"):  # a folder to keep what the guest wrote
            keep = os.environ["KERNEL_BED_KEEP"]
            os.makedirs(keep, exist_ok=True)
            for name, data in dict(files, **{"cable.bin": bytes(cable.data),
                                              "console.txt": console.encode()}).items():
                with open(os.path.join(keep, name), "wb") as f:
                    f.write(data)
        failures = check(files, cable)
        print(f"kernel_bed: {time.monotonic() - start:.0f} s")
        if failures:
            print("---- guest console\n" + console[-4000:])
            return 1
        return 0


if __name__ == "__main__":
    sys.exit(main())
