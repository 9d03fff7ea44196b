#!/usr/bin/env python3
"""Writes the seed corpora below fuzz/corpus/: a few small valid inputs per
target, so that the fuzzers start from the formats instead of from nothing.
Run it again after a format change; the files it writes are kept in git."""

import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def put(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def package(images):
    """images: (name, data, pack_len, addr, by_addr, exec); offsets back to back."""
    directory = struct.pack("<i", len(images))
    offset = 0
    for name, data, pack_len, addr, by_addr, run in images:
        entry = struct.pack("<IIII", offset, len(data), pack_len, addr) + bytes(128)
        entry += name.encode().ljust(1152, b"\0") + struct.pack("<II", by_addr, run)
        directory += entry
        offset += len(data)
    return directory + b"".join(image[1] for image in images)


def packages():
    loaders = [("PDL1", b"\x11" * 64, 4096, 0x80000000, 0, 1),
               ("PDL2", b"\x22" * 96, 4224, 0x80100000, 0, 1)]
    put("fuzz_package", "three_images.bin", package(loaders + [("system", b"s" * 40, 128, 0, 0, 0)]))
    put("fuzz_package", "by_address.bin",
        package(loaders + [("boot", b"b" * 16, 64, 0x1000, 1, 0), ("modem", b"", 4, 0, 0, 0)]))
    # Refused ones: a count of 2, and an entry running past the end.
    put("fuzz_package", "two_entries.bin", package(loaders) + bytes(16))
    bad = bytearray(package(loaders + [("userdata", b"u" * 8, 4, 0, 0, 0)]))
    struct.pack_into("<I", bad, 4 + 2 * 1304 + 4, 9)
    put("fuzz_package", "past_the_end.bin", bytes(bad))


def image_attr():
    put("fuzz_image_attr", "two_items", "modem(2112)#system(2048)")
    put("fuzz_image_attr", "all_names",
        "PDL(2048)#bootloader(2112)#boot(2048)#system(2112)#modem(2048)#userdata(2112)"
        "#customer(2048)#vendor(2112)#recovery(4096)")
    # Reply, zero byte, then chunk lengths, image lengths and PACKLEN values.
    tail = b""
    for pack_len, size, kb in [(4096, 65536, 4)] * 2 + [(4, 1 << 20, 256)] * 10:
        tail += struct.pack("<IIi", pack_len, size, kb)
    put("fuzz_image_attr", "with_lengths", b"system(2048)#userdata(2112)#PDL(2112)\0" + tail)
    put("fuzz_image_attr", "malformed", "#(1)#x(0)#y(-5)#z(12a)#w(99999999999)##")


def ini():
    put("fuzz_ini", "plain.ini", "[S]\nK=value\nj = 12 \n\n[t]\nk=other\n")
    put("fuzz_ini", "crlf.ini", "; comment\r\n[FILE_1]\r\nPATH=C:\\img\\a.bin\r\n[GENERAL]\r\nK=1\r\n")
    put("fuzz_ini", "repeated.ini", "K=outside\n[s]\nJ=1\n[T]\n[S]\nK=second\n[ S ]\nk=third\n")


def tool_ini():
    put("fuzz_tool_ini", "filelist.ini",
        "[CONFIGURE]\nISFORMAT=Yes\nOPENDEBUG=No\n[DEBUG_LEVEL]\nPDL_DBG_PDL=1\nPDL_DBG_RW_CHECK=2\n"
        "[FILE_1]\nPATH=pdl1.bin\nTITLE=PDL1\nISSEL=Yes\nNEEDEXE=Yes\nPACKLEN=4k\nISADDR=Yes\n"
        "STARTADDR=0x80000000\nPARTNAME=None\n[FILE_2]\nPATH=system.img\nPACKLEN=256\n"
        "[FILE_PATH]\nIMG_PATH=/srv/a_norq_total.bin\n")
    put("fuzz_tool_ini", "download.ini",
        "[PORT_1]\nISUSED=Yes\nPORTNB=COM3\n[PORT_2]\nISUSED=no\n[PORT_8]\nISUSED=No\nPORTNB=\n")
    put("fuzz_tool_ini", "wimei.ini",
        "[GENERAL]\nISWIMEI=Yes\nCHECK_IMEI=No\nMAGIC_NUMBER=0x1\nCHIPSET=sc77\n[PDL]\nPATH=images\n"
        "[WIMEI]\nIMEINUM=2\nINPUTTYPE=2\nIS14CHAR=Yes\nINITCODE14=35209900000000\n"
        "MASKCODE14=352099********\n[WMBSN]\nMBSNLEN=300\nINPUTTYPE=1\nFILEPATH=mbsn.txt\n"
        "[WPSN]\nPSNLEN=8\nINPUTTYPE=7\n[LCD]\nNAME=panel\n[DDR]\nPATH=ddr.bin\n"
        "[CHIP_1]\nCHIPNAME=sc77\nFACTNAME=factorydata\n[CHIP_2]\nCHIPNAME=sc99\nFACTNAME=prodnv\n")


def history():
    put("fuzz_history", "wimei.history",
        "2024-01-02_03:04:05\t352099001761481\n2024-01-02_03:04:06\t490154203237518\r\n"
        "# comment line\n2024-01-02_03:04:07\n2024-01-02_03:04:08 000000000000000")
    put("fuzz_history", "serials.history", "2024-01-02_03:04:05\t" + "P" * 254 + "\n")


def number_list():
    put("fuzz_number_list", "imeis.txt",
        "352099001761481\n490154203237518,extra\r\n#352099001761481\n35209900176148\n")
    put("fuzz_number_list", "serials.txt", "ABCDEFGHIJKLMNOP\r\n" + "Q" * 20 + "\n" + "R" * 300 + "\n")


def pdl():
    def reply(code, flow=0xFF):
        return bytes([0xAE]) + struct.pack("<I", 4) + bytes([flow]) + struct.pack("<I", code)

    def data(payload, flow=0xFF):
        return bytes([0xAE]) + struct.pack("<I", len(payload)) + bytes([flow]) + payload

    # Byte 0: 0 download ack, 1 writer ack, 2 image info, 3 partition; byte 1: read size.
    put("fuzz_pdl_receivers", "ack", b"\x00\x00" + reply(0))
    put("fuzz_pdl_receivers", "ack_after_noise", b"\x01\x03" + b"\x01\x02\xff" + reply(0))
    put("fuzz_pdl_receivers", "failure_reply", b"\x00\x01" + reply(7, 0xEE))
    put("fuzz_pdl_receivers", "image_info", b"\x02\x00" + data(b"modem(2112)#system(2048)\0"))
    put("fuzz_pdl_receivers", "image_info_empty", b"\x02\x05" + data(b""))
    put("fuzz_pdl_receivers", "partition", b"\x03\x07" + data(bytes(range(256)) * 4))
    put("fuzz_pdl_receivers", "partition_too_big", b"\x03\x00" + bytes([0xAE]) +
        struct.pack("<I", 0x10000) + b"\xff" + bytes(64))


def json_line():
    put("fuzz_json_line", "download.json",
        '{"tool":"quillport","version":"1.0.1","station":"bench:/srv/q","row":3,"port":"COM5",'
        '"started":"2026-12-10T17:15:02+08:00","seconds":41.5,"result":"failed",'
        '"failure":"Get connect[ACK] command failed!","images":[{"name":"PDL1","size":20480}]}')
    put("fuzz_json_line", "writer.json",
        '{"tool":"tavlo","imei":["356938035643809"],"checked":true,"failure":null,'
        '"step":"\\u5199\\u53f7 \\ud83d\\ude00","mbsn":"","seconds":-1.5e-3}')
    put("fuzz_json_line", "torn.json", '{"tool":"quillport","station":"a","failure":"ab')


if __name__ == "__main__":
    for make in (packages, image_attr, ini, tool_ini, history, number_list, pdl, json_line):
        make()
