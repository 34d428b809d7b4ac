#!/usr/bin/env python3
"""Writes a large test message: many recipients, a plain-text and an HTML body
(multipart/alternative) and a base64 attachment, about SIZE bytes in all.

    scripts/big-message.py [--size 25M] [--recipients 1000] [--attachment-share 0.3] OUT

Used to measure the check's peak memory and time on messages near the limits
(see the README's Performance section)."""
import argparse
import base64
import os


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if text[-1].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="25M", help="total size (bytes, or with K, M, G)")
    parser.add_argument("--recipients", type=int, default=1000)
    parser.add_argument("--attachment-share", type=float, default=0.3,
                        help="share of the size taken by the attachment")
    parser.add_argument("out")
    args = parser.parse_args()
    size = parse_size(args.size)

    head = ["From: Me <me@corp.example>", "To: "]
    for i in range(args.recipients):
        head.append((",\r\n " if i else "") + f"Person {i} <person{i}@corp.example>")
    header = "".join(head[:1]) + "\r\n" + "".join(head[1:]) + "\r\n"
    header += ("Subject: Weekly report\r\nMessage-ID: <big@corp.example>\r\n"
               "MIME-Version: 1.0\r\n"
               "Content-Type: multipart/mixed; boundary=\"mixed\"\r\n\r\n")
    attachment_bytes = int(size * args.attachment_share * 57 / 78)
    # Base64 lines: 76 characters and CR LF for every 57 bytes.
    text_bytes = max(0, (size - len(header) - attachment_bytes * 78 // 57) // 2 - 200)

    sentence = ("The quarterly figures for the northern region are attached; please review "
                "them before the meeting on Thursday.")
    with open(args.out, "wb") as out:
        out.write(header.encode())
        out.write(b"--mixed\r\nContent-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n")
        out.write(b"--alt\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n")
        line = (sentence + "\r\n").encode()
        for _ in range(text_bytes // len(line) + 1):
            out.write(line)
        out.write(b"--alt\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body>\r\n")
        paragraph = f"<p>{sentence}</p>\r\n".encode()
        for _ in range(text_bytes // len(paragraph) + 1):
            out.write(paragraph)
        out.write(b"</body></html>\r\n--alt--\r\n")
        out.write(b"--mixed\r\nContent-Type: application/octet-stream\r\n"
                  b"Content-Disposition: attachment; filename=\"figures.bin\"\r\n"
                  b"Content-Transfer-Encoding: base64\r\n\r\n")
        chunk = os.urandom(57 * 1024)
        written = 0
        while written < attachment_bytes:
            piece = chunk[:min(len(chunk), attachment_bytes - written)]
            encoded = base64.b64encode(piece)
            for i in range(0, len(encoded), 76):
                out.write(encoded[i:i + 76] + b"\r\n")
            written += len(piece)
        out.write(b"--mixed--\r\n")


if __name__ == "__main__":
    main()
