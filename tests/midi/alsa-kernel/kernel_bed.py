#!/usr/bin/env python3
"""A real kernel ALSA sequencer (kernel_bed.py test|bench --cli PATH ... --cache DIR): Debian 12's
kernel in QEMU, where midiflash-cli plays update files to a user-space client, to snd-virmidi (read
back from its rawmidi device) and to snd-serial-u16550 under snd-seq-midi, drained like a cable."""
import ctypes, hashlib, itertools, json, lzma, os, pathlib, re, signal, socket, subprocess, sys
import tarfile, tempfile, time

CABLE = 3125  # bytes a second on a 31250-baud cable
# Load order, from `modinfo -F depends`; the guest sets up the last three itself.
MODULES = ("soundcore snd snd-timer snd-hrtimer snd-seq-device snd-seq snd-seq-dummy snd-seq-midi-"
           "event snd-rawmidi snd-seq-virmidi snd-virmidi snd-serial-u16550 snd-seq-midi").split()


def varlen(v):
    return bytes([0x80 | v >> s & 0x7F for s in range(7 * ((v.bit_length() - 1) // 7), 0, -7)]
                 + [v & 0x7F])


def smf(events):
    """One track of (delta, message) pairs, 96 ticks a quarter note."""
    body = b"".join(varlen(d) + (b"\xf0" + varlen(len(m) - 1) + m[1:] if m[0] == 0xF0 else m)
                    for d, m in events) + b"\x00\xff\x2f\x00"
    return b"MThd\0\0\0\6\0\0\0\1\0\x60MTrk" + len(body).to_bytes(4, "big") + body


def sysex(n, seed=0):
    """F0, a pattern, F7: n bytes in all (a lone F0 for 1)."""
    return b"\xf0" + bytes((i * 7 + seed) & 0x7F for i in range(1, n - 1)) + b"\xf7" * (n > 1)


def stream(events):
    return b"".join(m for _, m in events)


CHANNEL = [(12, bytes.fromhex(h))
           for h in "903c64 903e64 c507 d340 803c00 b00764 e00040 a03c10 df7f".split()]
# Played to each destination in turn: (delta, message) pairs, 96 ticks are half a second; "raw" is
# a System Exclusive file, whose messages must begin on the cable at least RAW_GAP s apart.
CASES = dict(channel=CHANNEL, **{f"sysex{n}": [(96, sysex(n, i))]
                                 for i, n in enumerate([1, 4, 1000, 5000, 30000, 50000])},
             unterminated=[(96, bytes.fromhex("f04312"))],
             blocks20x96=[(96, sysex(1000, i)) for i in range(20)],
             blocks60x24=[(24, sysex(1000, i)) for i in range(60)],
             raw=[(0, sysex(n, i + 1)) for i, n in enumerate([6, 300, 1000, 2, 1000, 50])])
RAW_GAP = 0.1
SERIAL = b"".join(map(stream, CASES.values()))  # all the cable carries before the device stalls
OPENING = [(0, sysex(40, 1)), (0, sysex(3, 2))]
FILES = dict(CASES, opening=OPENING + [(24, m) for _, m in CHANNEL], stall=[(96, sysex(40000, 4))],
             gone=[(768 if i == 5 else 96, sysex(1000, i)) for i in range(20)],
             sysex5572=[(96, sysex(5572, 5))], sysex5573=[(96, sysex(5573, 6))],
             bench=[(12, sysex(1000, i)) for i in range(60)])  # five times what the cable carries
# The run to a destination that exits ends within this many seconds of the exit, as timed in the
# guest (half a second, and a quarter for an emulated CPU that also serves the other runs).
UNPLUG_LIMIT = 0.75
PORTS = ["Midi Through:Midi Through Port-0", "Virtual Raw MIDI 0-0:VirMIDI 0-0",
         "Serial MIDI (UART16550A):Serial MIDI 1"]
# As `check --port` tells them: 28-byte cells, less the event's own: 2000 in the program's output
# pool, 200 in a default input pool; a kernel MIDI port takes any size, in pieces.
LARGEST = "".join(f"destination: {p}, messages of {n}\n" for p, n in zip(
    PORTS + ["small:in"], ["up to 55,972 bytes", "any size", "any size", "up to 5,572 bytes"]))
REQUEST = bytes.fromhex("f07e7f0601f7")
SHA256 = hashlib.sha256(smf(CHANNEL)).hexdigest()  # of the file the verified runs play
RECEIPT = dict(bytes_sent=24, bytes_delivered=24, messages_sent=9, messages_delivered=9,
               ticks_played=108, ticks_total=108, exit_status=0, outcome="Updating is completed !!")


def listing(names):
    """What `list` prints of these destinations, as a pattern that leaves their addresses open."""
    return "".join(rf"{i}: \d+:\d+ {re.escape(n)}" + r" \(pass-through\)" * (i == 0) + r"\n"
                   for i, n in enumerate(names))


DONE = r"\nUpdating is completed !!\n\Z"
ANSWERED = (r'\A\x00\{.*"answered": true, .*"manufacturer": \{"id": "7D", '
            r'"name": "non-commercial"\}, .*"software_revision": "1\.0\.0\.0"\}\n\Z')
WHO = r"non-commercial \(7D\), family 0x0012, model 0x00B4, software revision 1\.0\."
VERIFIED = (rf"\x00.*{WHO}0\.0.*{WHO}1\.0, device ID 0x10\n"
            r"Software revision: 1\.0\.0\.0 \u2192 1\.0\.1\.0\n\Z")
# Each run: its exit status, and a pattern over what it logged, a NUL, then what it printed.
RUNS = {**{f"{d}-{c}": (0, DONE) for d in ("user", "virmidi", "serial") for c in CASES},
        "serial-stall": (3, r"MIDISend err = -110\n.*\x00.*\nSend error ! -110\n"),
        "serial-refused": (3, r"snd_seq_connect_to err = -11\n.*\x00.*\nSend error ! -16\n"
                           r"Another program holds the MIDI device\."),
        "user-gone": (3, r"\A(?!(.* err = ){2}).* err = .*\x00.*\nSend error ! -\d+\n[^\n]*\n"
                      r"gone\.dat: stopped at tick \d+ of 2592, \d+ %, [\d,]+ of 20,000 bytes "
                      r"sent\n\Z"),
        "largest": (0, rf"\A\x00{re.escape(LARGEST)}\Z"), "list-json": (0, r"\A\x00"),
        "small-5572": (0, DONE), "small-5573": (1, r"\x00.*small:in carries at most 5,572 bytes\n"),
        "list": (0, rf"\A\x00{listing(PORTS)}\Z"), "ident": (0, DONE),
        "watch": (0, rf"\A\x00{listing(PORTS)}added 3: \d+:\d+ recorder:in\n"
                  r"removed 3: \d+:\d+ recorder:in\n\Z"),
        "ident-list": (0, rf"\A\x00{listing(PORTS + ['inserted:in', 'recorder:in'])}\Z"),
        "twice": (0, r"\A(?!.*error)(?!(.*Updating is completed){3})"
                  r"(.*Updating is completed !!\n){2}"),
        "switch": (0, r"2 opening messages went to second:in\.\n.*" + DONE),
        "id-user": (0, ANSWERED), "id-virmidi": (0, ANSWERED),
        "id-silent": (6, r'\A\x00\{.*"answered": false\}\n\Z'), "dmesg": (0, r"\A(?!.*seq_midi)"),
        "verify-user": (0, VERIFIED), "verify-virmidi": (0, VERIFIED),
        "noseq-list": (2, r"\x00\Z"), "noseq-play": (2, "no MIDI service")}
# Exactly what each recorder received (the destination of "gone" exits after 5000 bytes).
RECEIVED = {**{f"{d}-{c}": stream(e) for d in ("user", "virmidi") for c, e in CASES.items()},
            "small": stream(FILES["sysex5572"]), "ident-B": stream(CHANNEL), "ident-A": b"",
            "twice": stream(FILES["opening"]) * 2, "first": stream(OPENING),
            "second": stream(FILES["opening"]), "id-user": REQUEST, "id-virmidi": REQUEST,
            "id-silent": REQUEST, "user-gone": stream(FILES["gone"])[:5000],
            "verify-user": REQUEST + stream(CHANNEL)}

BOOT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin; export PATH=/bin HOME=/tmp
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
mkdir -p /dev/shm /tmp /out; mount -t tmpfs shm /dev/shm; cd /lib/snd
for m in @MODULES@; do insmod $m.ko; done; insmod snd-virmidi.ko index=0 midi_devs=1
# COM2 belongs to the serial console driver until it is let go.
for d in /sys/bus/pnp/devices/*; do
  grep -q 'io 0x2f8' $d/resources 2>/dev/null && echo ${d##*/} > /sys/bus/pnp/drivers/serial/unbind
done
insmod snd-serial-u16550.ko index=1 port=0x2f8 irq=3 speed=38400 base=115200
insmod snd-seq-midi.ko; cd /; stty -F /dev/ttyS2 raw -echo
"""
TESTS = r"""
# rec NAME [STOP_AFTER [CLIENT|hw:C,D]]: a recorder into /out/NAME.bin, once it can receive.
rec() { alsa_recorder /out/$1.bin $2 $3 & echo $! > /tmp/$1.pid
  while [ ! -e /out/$1.bin.ready ] && kill -0 $! 2>/dev/null; do sleep 0.05; done; }
# stop NAME...: each closed (also one that this shell, a subshell, did not start).
stop() { for r; do p=$(cat /tmp/$r.pid); kill -TERM $p 2>/dev/null; wait $p
  while [ ! -e /out/$r.bin.exit ] && kill -0 $p 2>/dev/null; do sleep 0.02; done; done; }
# run KEY COMMAND...: its output in /out/KEY.txt, its log in .err, its exit status in .rc; play KEY
# CASE PORT [OPTION...] runs midiflash-cli play, and notes in /out/KEY.end when it ended.
run() { o=/out/$1; shift; "$@" > $o.txt 2> $o.err; echo $? > $o.rc; }
play() { k=$1 f=$2 p=$3; shift 3; run $k midiflash-cli -v play "$@" /cases/$f.* --port "$p"
  cut -d' ' -f1 /proc/uptime > /out/$k.end; echo "bed: $k exit $(cat /out/$k.rc)"; }
VM="Virtual Raw MIDI 0-0" SERIAL="Serial MIDI (UART16550A)"
# The user-space destination of "gone" exits after 5000 bytes, four seconds before its next block.
(for c in @CASES@; do rec user-$c; play user-$c $c recorder:in; stop user-$c; done
 rec user-gone 5000; play user-gone gone recorder:in; stop user-gone) &
(for c in @CASES@; do rec virmidi-$c 0 hw:0,0; play virmidi-$c $c "$VM"; stop virmidi-$c; done) &
# Refused while another program holds its rawmidi output; stalled once the host stops reading.
(for c in @CASES@; do play serial-$c $c "$SERIAL"; done
 exec 3> /dev/snd/midiC1D0; play serial-refused channel "$SERIAL"; exec 3>&-
 play serial-stall stall "$SERIAL") &
wait
# The largest message of each destination, one with the kernel's default input pool among them.
POOL=0 rec small 0 small
for i in 0 1 2 3; do midiflash-cli check /cases/channel.dat --port $i | grep '^destination: '
done > /out/largest.txt 2> /out/largest.err; echo $? > /out/largest.rc
play small-5572 sysex5572 small:in; play small-5573 sysex5573 small:in; stop small
run list midiflash-cli list; run list-json midiflash-cli list --json
midiflash-cli list --watch > /out/watch.txt 2> /out/watch.err & w=$!
sleep 1; rec watch; sleep 1; stop watch; sleep 1; kill -INT $w; wait $w; echo $? > /out/watch.rc
# ident-A takes the number hold left, so it is listed first; the run goes to ident-B's address.
rec hold; rec ident-B; stop hold; rec ident-A 0 inserted; run ident-list midiflash-cli list
play ident channel "$(cat /out/ident-B.bin.ready)"; stop ident-A ident-B
# Two updates 6 s apart, the file chosen again; then a destination chosen after the file.
rec twice 0 twice; run twice workflow_driver dest twice file /cases/opening.dat run - idle 6 \
  file /cases/opening.dat run -; stop twice
rec first 0 first; rec second 0 second
run switch workflow_driver dest first file /cases/opening.dat dest second run -; stop first second
ask() { rec id-$1 0 $2; run id-$1 midiflash-cli identify --json --port "$3"; stop id-$1; }
ANSWER=fresh ask user responder responder:in; ANSWER=fresh ask virmidi hw:0,0 "$VM"
ask silent hw:0,0 "$VM"
# The responder restarts as a new client once the update has completed (another takes its number).
V="--verify --verify-wait 8 --receipt"; ANSWER=fresh rec verify-user 0 responder
(until grep -q 'Updating is completed' /out/verify-user.txt 2>/dev/null; do sleep 0.05; done
 stop verify-user; rec verify-hold; ANSWER=updated rec verify-user-B 0 responder; sleep 6
 stop verify-user-B verify-hold) & w=$!
play verify-user channel responder:in $V /out/verify-user.receipt; wait $w
ANSWER=fresh rec verify-virmidi 0 hw:0,0
play verify-virmidi channel "$VM" $V /out/verify-virmidi.receipt; stop verify-virmidi
run dmesg dmesg
rmmod snd-seq-midi snd-virmidi snd-seq-virmidi snd-seq-dummy snd-seq-midi-event snd-seq
run noseq-list midiflash-cli list; run noseq-play midiflash-cli play /cases/channel.dat
"""
BENCH = 'alsa_cable_probe /cases/bench.dat "Serial MIDI 1" > /out/probe.txt 2> /dev/null\n'
END = "tar -cf /dev/ttyS2 -C /out . && sleep 1; echo 'bed: done'; poweroff -f\n"


def prepare_kernel(cache):
    """Debian's kernel, downloaded once into the folder returned: the sound modules and the ELF
    inside vmlinuz (it boots in 2-3 s instead of 7-8)."""
    depends = "apt-cache depends linux-image-amd64"  # no package lists yet: fetch them first
    found = re.search(r"Depends: linux-image-(\S+)", subprocess.run(
        f"{depends} 2> /dev/null || (apt-get update -qq && {depends})", shell=True,
        capture_output=True, text=True).stdout)
    version = (found or sys.exit("kernel_bed: apt-cache knows no linux-image-amd64")).group(1)
    root = os.path.join(os.path.abspath(cache), version)
    if not os.path.exists(root + "/vmlinux"):  # earlier kernels go
        subprocess.run(f"rm -rf '{cache}' && mkdir -p '{root}' && cd '{root}' && apt-get download "
                       f"-q linux-image-{version} > /dev/null && dpkg-deb --fsys-tarfile *.deb | "
                       "tar -x --wildcards --transform 's,.*/,,' './boot/vmlinuz-*' "
                       "'*/kernel/sound/*.ko' && rm *.deb", shell=True, check=True)
        image = next(pathlib.Path(root).glob("vmlinuz-*")).read_bytes()
        elf = lzma.LZMADecompressor().decompress(image[image.find(b"\xfd7zXZ\x00"):])
        pathlib.Path(root, "vmlinux.tmp").write_bytes(elf)
        os.rename(root + "/vmlinux.tmp", root + "/vmlinux")
    return root


def build_initramfs(work, kernel, mode, args):
    root = work + "/root"
    os.makedirs(root + "/cases")
    for name, events in FILES.items():
        pathlib.Path(f"{root}/cases/{name}.{'syx' if name == 'raw' else 'dat'}").write_bytes(
            stream(events) if name == "raw" else smf(events))
    pathlib.Path(root, "init").write_text(BOOT.replace("@MODULES@", " ".join(MODULES[:10])) + (
        TESTS.replace("@CASES@", " ".join(CASES)) if mode == "test" else BENCH) + END)
    bins = [args[o] for o in ("--cli", "--probe", "--recorder", "--driver") if o in args]
    # Each program comes with the shared libraries that `ldd` finds for it.
    subprocess.run(["sh", "-ec", f"""chmod +x init; mkdir -p bin lib/snd usr/share/alsa proc sys dev
        for m in {' '.join(MODULES)}; do cp "{kernel}/$m.ko" lib/snd; done
        cp /bin/busybox "$@" bin; cp /usr/share/alsa/alsa.conf usr/share/alsa
        for p; do cp -L --parents $(ldd "$p" | grep -o '/[^ ]* (0x' | cut -d' ' -f1) .; done
        find . | cpio -o -H newc --quiet > ../initrd.cpio""", "sh", *bins], cwd=root, check=True)


def boot(work, kernel, limit):
    """Runs the guest to its end: the files it wrote, its console, the bytes of its MIDI cable and
    when each was taken. After `limit` bytes (less the adaptor's F5 01) the device stalls."""
    ours, qemus = socket.socketpair()
    # QEMU writes the UART's bytes one at a time: this holds about 340 of them, 0.1 s of cable.
    qemus.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 131072)
    ours.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    ours.setblocking(False)
    cmd = ("qemu-system-x86_64 -accel tcg,tb-size=64,thread=multi -cpu max -smp 1 -m 192 "
           f"-nodefaults -display none -no-reboot -nic none -serial file:{work}/console.txt "
           f"-chardev socket,id=midi,fd={qemus.fileno()} -serial chardev:midi -serial "
           f"file:{work}/results.tar -kernel {kernel}/vmlinux -initrd {work}/initrd.cpio").split()
    libc = ctypes.CDLL(None)  # QEMU dies with this script, also when a test runner kills it first
    qemu = subprocess.Popen(cmd + ["-append", "console=ttyS0 quiet panic=-1"],
                            stdin=subprocess.DEVNULL, pass_fds=[qemus.fileno()],
                            preexec_fn=lambda: libc.prctl(1, signal.SIGKILL))
    qemus.close()
    # The cable takes 3125 bytes a second while bytes wait (`free`: when it takes the next), however
    # late this loop wakes; idle after 30 ms empty (shorter gaps are QEMU's or this host's hiccups).
    data, times, free, empty, kept = bytearray(), [], None, None, 0
    end = time.monotonic() + 240
    while qemu.poll() is None and time.monotonic() < end:
        time.sleep(0.002)
        now = time.monotonic()
        due = min(1 if free is None else int((now - free) * CABLE), limit - kept)
        if due < 1:
            continue
        try:
            chunk = ours.recv(due)
        except BlockingIOError:
            empty = empty or now
            if now - empty > 0.03:
                free = None
            continue
        free = now if free is None else free + len(chunk) / CABLE
        empty, kept = None, kept + len(chunk) - 2 * chunk.count(0xF5)
        data.extend(chunk)
        times.extend([now] * len(chunk))
    qemu.kill()
    qemu.wait()
    ours.setblocking(True)
    while chunk := ours.recv(65536):  # what QEMU held when it ended, untimed
        data.extend(chunk)
        times.extend([None] * len(chunk))
    try:
        with tarfile.open(work + "/results.tar") as t:
            files = {os.path.basename(m.name): t.extractfile(m).read() for m in t if m.isfile()}
    except (OSError, tarfile.TarError) as e:
        files = print(f"kernel_bed: no results: {e}") or {}
    return files, open(work + "/console.txt", errors="replace").read(), data, times


def first_difference(got, want):
    n = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return f"{len(got)} bytes instead of {len(want)}, first difference at byte {n}"


def check(files, data, times, expect):
    """What the guest wrote and the cable carried, against what each run should have done."""
    def text(name):
        return files.get(name, b"").decode(errors="replace")

    for key, (status, pattern) in RUNS.items():
        rc, out = text(key + ".rc").strip(), text(key + ".err") + "\0" + text(key + ".txt")
        expect(rc == str(status) and re.search(pattern, out, re.S) is not None,
               f"{key}: exit {rc} (want {status}), {out[-300:]!r}")
    for name, want in RECEIVED.items():
        expect(files.get(name + ".bin") == want,
               f"{name}: received {first_difference(files.get(name + '.bin') or b'', want)}")

    # The serial runs followed each other on the cable (without the adaptor's port selections),
    # then what of the stalled message QEMU held when it ended.
    kept = [i for i in range(len(data)) if b"\xf5\x01" not in (data[i:i + 2], data[i - 1:i + 1])]
    got, times = bytes(data[i] for i in kept), [times[i] for i in kept]
    expect(got.startswith(SERIAL) and stream(FILES["stall"]).startswith(got[len(SERIAL):]),
           f"serial cable: {first_difference(got[:len(SERIAL)], SERIAL)}")
    # The host takes a byte within 2 ms of its arrival; the program counts a message as gone only
    # once a cable 5 % slower would have sent it, plus 50 ms for the UART's own buffer.
    raw = CASES["raw"]
    ends = itertools.accumulate([len(m) for _, m in raw], initial=len(SERIAL) - len(stream(raw)))
    gaps = [times[e] - times[e - 1] for e in list(ends)[1:-1]]
    print(f"serial gaps, {RAW_GAP * 1e3:.0f} ms asked:", ", ".join(f"{g * 1e3:.1f}" for g in gaps))
    expect(min(gaps) >= RAW_GAP - 0.004 and max(gaps) <= RAW_GAP + 0.3,
           f"serial-raw: {len(raw) - 1} gaps of {RAW_GAP} s at least, measured {gaps}")

    late = round(float(text("user-gone.end")) - float(text("user-gone.bin.exit")), 3)
    expect(late <= UNPLUG_LIMIT, f"user-gone: the run ended {late} s after the destination "
           f"exited (at most {UNPLUG_LIMIT})")
    got = [(d["name"], d["pass_through"], d["id"]) for d in json.loads(text("list-json.txt"))]
    expect(got == [(n, i == 0, a) for i, (n, a) in enumerate(zip(PORTS, re.findall(
        r"(?m)^\d+: (\d+:\d+) ", text("list.txt"))))], f"list --json: {got!r}")

    # Verified runs: the device got a request, the update, then only requests; the receipt says so.
    before = REQUEST + stream(CHANNEL)
    for dest in ("user", "virmidi"):
        got = files.get(f"verify-{dest}.bin", b"")
        after = got[len(before):] + files.get(f"verify-{dest}-B.bin", b"")  # the restarted one
        n = len(after) // len(REQUEST)
        r = json.loads(text(f"verify-{dest}.receipt"))
        b, a = r["identity_before"], r["identity_after"]
        expect(got[:len(before)] == before and n >= 1 and after == REQUEST * n
               and [r[k] for k in RECEIPT] == list(RECEIPT.values()) and r["started"] < r["ended"]
               and (r["file"]["sha256"], b["software_revision"], b["requests"],
                    a["software_revision"], a["requests"], a["destination"]["name"])
               == (SHA256, "1.0.0.0", 1, "1.0.1.0", n, r["destination"]["name"])
               and (dest != "user" or a["destination"]["id"] != b["destination"]["id"]),
               f"verify-{dest}: the device got {got!r}, then {after!r}; receipt {r}")


def main():
    mode, args = sys.argv[1], dict(zip(sys.argv[2::2], sys.argv[3::2]))  # MODE --OPTION VALUE...
    start, kernel = time.monotonic(), prepare_kernel(args["--cache"])
    with tempfile.TemporaryDirectory() as work:
        build_initramfs(work, kernel, mode, args)
        files, console, data, times = boot(work, kernel, len(SERIAL) if mode == "test" else 1e9)
    if mode == "bench":
        t, sent = [x for x in times if x], len(stream(FILES["bench"]))
        got = len(data) - 2 * data.count(0xF5)
        rate = (got - 1) / (t[-1] - t[0]) if got == sent and len(t) > 1 else 0
        print("alsa_cable_bytes_per_second:", f"{rate:.0f} ({100 * rate / CABLE:.1f} % of {CABLE})"
              if rate else f"n/a ({got} of {sent} bytes arrived)")
        print(files.get("probe.txt", b"alsa_cable_probe: no output\n").decode(), end="")
        return 0
    failures = []

    def expect(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        failures.extend([] if ok else [what])

    try:
        check(files, data, times, expect)
    except (KeyError, IndexError, TypeError, ValueError) as e:  # output missing or malformed
        expect(False, f"unreadable output: {e!r}")
    print(f"kernel_bed: {time.monotonic() - start:.0f} s")
    print("---- guest console\n" + console[-4000:] if failures else "", end="")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
