#!/usr/bin/python3
"""Cuts seeds for a fuzz target out of the mail corpus (scripts/fetch-corpus.sh),
shaped as that target reads its input: whole messages, header blocks, bodies,
Date and Received values, address and subject lines, links, and subjects with
typical filter patterns. Targets that read no mail get none.

usage: corpus_seeds.py TARGET CORPUS_DIR OUT_DIR
Prints the number of seeds written. The choice is fixed (sorted files, no
randomness), so two runs write the same seeds."""
import hashlib
import os
import re
import sys

MAX_MESSAGE = 64 * 1024  # whole messages and bodies above this are cut
MAX_SEEDS = 3000

# Patterns of the kind users and rules put in filters, for the regex targets.
FILTER_PATTERNS = [
    rb"^Subject:.*(free|money|offer)",
    rb"\bviagra\b",
    rb"[A-Z]{5,}",
    rb"^From:\s*\"?([^\"<]+)\"?\s*<([^>]+)>",
    rb"(?i)click\s+here",
    rb"\$\d+(\.\d\d)?",
    rb"^[^@]+@[^.]+\.(com|net|org)$",
    rb"=\?[^?]+\?[BQ]\?[^?]*\?=",
    rb"(\w+)\s+\1",
    rb"remove.{0,20}list",
    rb"^Received: from .*\[(\d+\.\d+\.\d+\.\d+)\]",
    rb"https?://[^\s\"'>]+",
]


def messages(corpus):
    for group in sorted(os.listdir(corpus)):
        folder = os.path.join(corpus, group)
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                yield f.read()


def split(message):
    for sep in (b"\r\n\r\n", b"\n\n"):
        at = message.find(sep)
        if at >= 0:
            return message[:at + len(sep)], message[at + len(sep):]
    return message, b""


def fields(header, names):
    """The unfolded values of the named fields, in order."""
    unfolded = re.sub(rb"\r?\n[ \t]+", b" ", header)
    for line in unfolded.splitlines():
        name, colon, value = line.partition(b":")
        if colon and name.strip().lower() in names:
            yield value.strip()


def seeds(target, corpus):
    for message in messages(corpus):
        header, body = split(message)
        if target in ("email_msg_part", "simple_tests", "message_checks"):
            yield message[:MAX_MESSAGE]
        elif target == "email_header":
            yield header[:MAX_MESSAGE]
        elif target == "mime_decoders":
            yield body[:MAX_MESSAGE]
        elif target == "email_msg_notice":
            # The first byte: bit 0 an HTML text, bit 1 a notice at the top.
            html = re.search(rb"(?i)<(html|body)", body) is not None
            top = hashlib.md5(header).digest()[0] & 2
            yield bytes([int(html) | top]) + body[:MAX_MESSAGE]
        elif target in ("html_parser", "email_msg_html", "html_check_scans"):
            if re.search(rb"(?i)<(html|a\s|body|table)", body):
                yield body[:MAX_MESSAGE]
        elif target == "line_buffer":
            yield bytes([len(header) % 16]) + message[:4096]
        elif target == "date_time":
            yield from fields(header, {b"date"})
            for value in fields(header, {b"received"}):
                yield value.rpartition(b";")[2].strip()
        elif target in ("encoded_words", "mime_words"):
            yield from fields(header, {b"subject", b"from", b"to"})
        elif target in ("email_address", "string_list"):
            yield from fields(header, {b"from", b"to", b"cc", b"reply-to"})
        elif target == "quor_url":
            yield from re.findall(rb"https?://[^\s\"'<>]{1,300}", body)
        elif target == "unique_paths":
            for subject in fields(header, {b"subject"}):
                # No extension; spaces kept or not by the subject's length.
                yield bytes([len(subject) & 1]) + subject
        elif target == "phrase_wildcards":
            for subject in fields(header, {b"subject"}):
                words = subject.split()
                if words and len(words[0]) < 120:
                    phrase = b"*" + words[-1][:40] + b"*"
                    yield bytes([len(phrase) << 1 & 0xFF]) + phrase + subject
        elif target == "string_library":
            for subject in fields(header, {b"subject"}):
                words = subject.split()
                if words and 0 < len(words[0]) < 200:
                    yield b"\x01" + bytes([len(words[0])]) + words[0] + body[:2048]
        elif target in ("reg_expr", "pcre_reg_expr"):
            digest = hashlib.md5(header).digest()[0]
            pattern = FILTER_PATTERNS[digest % len(FILTER_PATTERNS)]
            text = header[:4000]
            if target == "reg_expr":
                yield bytes([digest & 0x3F]) + pattern + b"\0" + text
            else:
                yield bytes([digest & 0x0F, 0]) + pattern + b"\0" + text
        elif target == "text_compression":
            for block in re.findall(rb"(?:[A-Za-z0-9+/]{60,76}\r?\n){2,40}", body):
                yield block
        else:
            return


def main():
    target, corpus, out = sys.argv[1:4]
    os.makedirs(out, exist_ok=True)
    unique = list(dict.fromkeys(seed for seed in seeds(target, corpus) if seed))
    # Every k-th, so that each part of the corpus (ham and spam) is in.
    step = max(1, -(-len(unique) // MAX_SEEDS))
    chosen = unique[::step]
    for seed in chosen:
        with open(os.path.join(out, hashlib.sha1(seed).hexdigest()), "wb") as f:
            f.write(seed)
    print(len(chosen))


if __name__ == "__main__":
    main()
