#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

The frames are put together here from the wire format, independently of the
service's own encoder:
  module answer     EF 01 | address FF FF FF FF | type | length (BE, payload + 2)
                    | payload | checksum (BE, sum of type, length bytes, payload)
  bootloader reply  AA | type | size (LE) | data | BCC | 55, with BCC chosen so
                    that all bytes of the frame exclusive-or to 0
Run it again after changing a seed; the files are committed.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

# Order of the awaited commands in fuzz_receive (index = selector byte).
COMMANDS = [0x01, 0x0A, 0x0C, 0x0D, 0x0F, 0x15, 0x16, 0x1D, 0x1F, 0x30,
            0x31, 0x32, 0x33, 0x34, 0x35, 0x50, 0xAF, 0xB8, 0xFF, 0xF0]
SUB_READ_FW = 0
SUB_SET_MODE = 1
KEEP = 63  # step record command value: keep the awaited command


def frame(ptype, payload, length=None, checksum=None):
    payload = bytes(payload)
    if length is None:
        length = len(payload) + 2
    head = bytes([0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, ptype, length >> 8, length & 0xFF])
    if checksum is None:
        checksum = (ptype + (length >> 8) + (length & 0xFF) + sum(payload)) & 0xFFFF
    return head + payload + bytes([checksum >> 8, checksum & 0xFF])


def answer(payload):
    return frame(0x07, payload)


def receive_seed(command, stream, sub=SUB_READ_FW, steps=()):
    """steps: (start offset in stream, command record value, filler units, filler byte)"""
    head = bytes([COMMANDS.index(command), sub | (len(steps) << 1)])
    for start, cmd, fill, value in steps:
        frac = 0 if len(stream) == 0 else -(-start * 255 // len(stream))  # ceil: lands on `start`
        assert len(stream) * frac // 255 == start, (start, len(stream))
        head += bytes([frac, cmd, fill, value])
    return head + bytes(stream)


def boot_reply(rtype, data):
    data = bytes(data)
    body = bytes([0xAA, rtype, len(data) & 0xFF, len(data) >> 8]) + data
    bcc = 0
    for b in body + bytes([0x55]):
        bcc ^= b
    return body + bytes([bcc, 0x55])


def write(target, name, content):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(content, str):
        content = content.encode()
    with open(os.path.join(d, name), "wb") as f:
        f.write(content)


def receive_seeds():
    t = "fuzz_receive"
    hs = answer([0x00])
    assert hs == bytes.fromhex("EF01FFFFFFFF07000300000A")
    write(t, "handshake", receive_seed(0x35, hs))
    # The same answer split inside its header, its length and before its checksum.
    write(t, "handshake-split", receive_seed(0x35, hs, steps=[(3, KEEP, 0, 0), (8, KEEP, 0, 0), (10, KEEP, 0, 0)]))
    write(t, "handshake-noise", receive_seed(0x35, b"\x00\xef\xef\x01" + hs[:5] + b"\xef" + hs))

    enrol = b"".join(answer(p) for p in (
        [0x00, 0x00], [0x00, 0x01, 0x01], [0x00, 0x02, 0x01], [0x00, 0x03, 0x01],
        [0x00, 0x01, 0x06], [0x00, 0x02, 0x06], [0x00, 0x03, 0x06], [0x00, 0x04], [0x00, 0x05], [0x00, 0x06, 0x5A]))
    write(t, "enroll-stages", receive_seed(0x31, enrol))
    write(t, "enroll-stages-split", receive_seed(0x31, enrol, steps=[(7, KEEP, 0, 0), (40, KEEP, 0, 0)]))
    write(t, "enroll-poor-capture", receive_seed(0x31, answer([0x07, 0x01, 0x02]) + answer([0x31, 0x02, 0x02])))

    identify = answer([0x00, 0x00]) + answer([0x00, 0x01]) + answer([0x00, 0x05, 0x00, 0x5A, 0x00, 0x64])
    write(t, "identify-single", receive_seed(0x32, identify))
    write(t, "identify-list", receive_seed(0x32, answer([0x00, 0x00]) + answer([0x00, 0xF5, 0x03, 90, 91, 92])))
    write(t, "identify-nomatch", receive_seed(0x32, answer([0x09, 0x05, 0xFF, 0xFF, 0x00, 0x00])))

    version = b"acm32_btl_nuvex_pc_001502"
    assert len(version) == 25
    write(t, "fw-version", receive_seed(0xAF, answer(b"\x00" + version)))
    write(t, "fw-onekey-single", receive_seed(0xAF, answer([0x00, 0x05, 0x00, 0x5B, 0x00, 0x50])))
    write(t, "fw-onekey-list", receive_seed(0xAF, answer([0x00, 0xF5, 0x03, 90, 95, 101])))
    write(t, "set-mode", receive_seed(0xAF, answer([0x00]), sub=SUB_SET_MODE))

    write(t, "sys-param", receive_seed(0x0F, answer([0x00, 0x00, 0x02, 0x00, 0x32, 0x00, 0x03, 0xFF, 0xFF, 0xFF, 0xFF])))
    write(t, "chip-sn-16", receive_seed(0x34, answer([0x00] + list(b"TVP2388-00001234"))))
    write(t, "chip-sn-32", receive_seed(0x34, answer([0x00] + list(b"TVP2388-0000123456789ABCDEF01234"))))
    write(t, "index-table", receive_seed(0x1F, answer([0x00] + [0xFF, 0x03] + [0x00] * 9 + [0x80] + [0x00] * 19)))
    write(t, "valid-template-num", receive_seed(0x1D, answer([0x00, 0x00, 0x05])))
    info_page = bytes((i * 3) & 0xFF for i in range(128))
    write(t, "info-page", receive_seed(0x16, answer([0x00]) + frame(0x08, info_page)))
    for cmd, name in ((0x0C, "delete"), (0x0D, "empty"), (0x30, "cancel"), (0x33, "sleep"), (0x50, "pc-state"),
                      (0xFF, "reboot"), (0x15, "set-chip-addr"), (0x01, "get-image"), (0xB8, "start-capture")):
        write(t, name, receive_seed(cmd, answer([0x00])))

    # An image packet: header in image mode, 92,160 filler bytes, the accepted magic checksum.
    img_head = bytes([0xEF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x08, 0xFF, 0xFF])
    write(t, "image", receive_seed(0xF0, img_head + b"\x55\xaa", steps=[(9, KEEP, 180, 0x5A)]))
    # The upload request's answer and the image header in one read, the rest in image mode.
    up = answer([0x00]) + img_head
    write(t, "upload-image", receive_seed(0x0A, up + b"\x55\xaa",
                                          steps=[(len(up), 20 + COMMANDS.index(0xF0), 180, 0x00)]))
    # An image transfer that stops after 66,560 bytes; the next command's answer follows
    # (the packet has outgrown its length field by then and is dropped).
    write(t, "image-cut-short", receive_seed(0xF0, img_head + hs, steps=[
        (9, KEEP, 130, 0x11), (9, COMMANDS.index(0x35), 0, 0)]))
    # An end packet of data for the information page, split in the middle of its payload.
    end = frame(0x08, info_page)
    write(t, "info-page-split", receive_seed(0x16, end, steps=[(70, KEEP, 0, 0)]))


def bootloader_seeds():
    t = "fuzz_bootloader"
    ok = boot_reply(0xE3, [0x00])
    # AA E3 01 00 00 xx 55
    assert ok[:5] == bytes([0xAA, 0xE3, 0x01, 0x00, 0x00]) and ok[6] == 0x55
    write(t, "run-app-ok", b"\x00" + ok)
    write(t, "run-app-ok-padded", b"\x00" + ok + bytes(64 - len(ok)))
    write(t, "erase-ok", b"\x00" + boot_reply(0xD3, [0x00]))
    write(t, "download-fail", b"\x00" + boot_reply(0xD7, [0x01]))
    write(t, "read-crc", b"\x00" + boot_reply(0xA6, [0x6E, 0x90]))
    write(t, "read-sn", b"\x00" + boot_reply(0xA0, b"ACM32-SN-0000000000000001"))
    write(t, "security-empty", b"\x00" + boot_reply(0xCC, []))
    write(t, "two-replies-split", b"\x03" + boot_reply(0xD9, [0x00]) + boot_reply(0xE3, [0x00]))
    write(t, "bad-bcc", b"\x00" + bytes([0xAA, 0xE3, 0x01, 0x00, 0x00, 0x00, 0x55]))
    write(t, "long-data", b"\x00" + boot_reply(0xD0, bytes(range(256)) * 3 + bytes(250)))


def keyfile_seeds():
    t = "fuzz_keyfile_list"
    write(t, "three-fingers", """[DeviceParam]
enable=true
PrintfLogFlag=0
ModeFlag=0
RebootFlag=0

[UserFprint-1]
enable=true
user_id=alice
fprint_name=right-thumb
fprint_id=90

[UserFprint-2]
enable=false
user_id=bob
fprint_name=index
fprint_id=91

[UserFprint-3]
enable=true
user_id=carol
fprint_name=Daumen rechts \u00e4\u00f6\u00fc \u4f60\u597d
fprint_id=92
""")
    write(t, "flags-set", """# written back by the service
[DeviceParam]
ModeFlag=1
RebootFlag=1

[UserFprint-50]
enable=true
user_id=""" + "u" * 98 + "\u00e9" + """
fprint_name=long
fprint_id=119
""")
    write(t, "empty", "")

    t = "fuzz_keyfile_driver"
    write(t, "all-keys", """[BASIC_PARAM]
PrintfLogFlag=0
AutoSuspend=1
UpgradeFlag=1
UpgradeMode=SMART_UPGRADE
""")
    write(t, "force", """# comment
[BASIC_PARAM]
AutoSuspend=0
UpgradeFlag=3
UpgradeMode=FORCE_UPGRADE
""")
    write(t, "no-upgrade", "[BASIC_PARAM]\nUpgradeFlag=0\nUpgradeMode=DONT_UPGRADE\n")

    t = "fuzz_fw_description"
    write(t, "v1502", "ACM32FP_V1502\n")
    write(t, "no-newline", "ACM32FP_V1503")
    write(t, "other-name", "firmware-test\n")


def main():
    receive_seeds()
    bootloader_seeds()
    keyfile_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
