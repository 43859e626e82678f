#!/usr/bin/env python3
"""Reads a composed alert mail with Python's own email package and checks it.

usage: mime_alert_check.py MESSAGE JPEG FROM TO SUBJECT BODYLINE...

MESSAGE holds the composed lines, each ended by CR LF. Exits 0 when the mail
decodes to the given Subject, body lines and picture and its lines are exactly
the expected ones (boundary and date taken from the mail); else prints what
differs and exits 1.
"""
import base64
import email
import email.policy
import re
import sys


def safe_qp(data):
    specials = b'=()[]<>:;,/?\\"_@'
    return ''.join('=%02X' % b if b < 0x20 or b >= 0x7F or b in specials else chr(b) for b in data)


def body_qp(data):
    return ''.join('=%02X' % b if b < 0x20 or b >= 0x7F or b == 0x3D else chr(b) for b in data)


def main():
    message_path, jpeg_path, sender, recipient, subject = sys.argv[1:6]
    body = sys.argv[6:]
    raw = open(message_path, 'rb').read()
    jpeg = open(jpeg_path, 'rb').read()
    problems = []

    msg = email.message_from_bytes(raw, policy=email.policy.default)
    # The encoded word follows "Subject: " on its own line: no fold's space
    # comes before the text.
    if msg['subject'] != subject:
        problems.append('Subject decodes to %r' % msg['subject'])
    if msg.get_content_type() != 'multipart/mixed':
        problems.append('root type %s' % msg.get_content_type())
    parts = list(msg.iter_parts())
    if len(parts) != 2:
        problems.append('%d parts' % len(parts))
    else:
        text, image = parts
        if text.get_content_type() != 'text/plain' or text.get_content_charset() != 'iso-2022-jp':
            problems.append('text part is %s; charset=%s' % (text.get_content_type(), text.get_content_charset()))
        if text.get_content().splitlines() != body:
            problems.append('text part decodes to %r' % text.get_content())
        if image.get_content_type() != 'image/jpeg' or image.get_filename() != 'recept.jpg':
            problems.append('image part is %s named %r' % (image.get_content_type(), image.get_filename()))
        if image.get_content() != jpeg:
            problems.append('attachment bytes differ from the JPEG file')
    for part in msg.walk():
        if part.defects:
            problems.append('parser defects: %r' % part.defects)

    if not raw.endswith(b'\r\n'):
        problems.append('message does not end with CR LF')
    lines = raw.decode('ascii').split('\r\n')[:-1]
    boundary = date = None
    for line in lines:
        m = re.match(r'Content-type: Multipart/mixed; boundary="([0-9A-F]{8}_[0-9A-F]{8}_Vardocam_boundary)"$', line)
        if m and boundary is None:
            boundary = m.group(1)
        if line.startswith('Date: ') and date is None:
            date = line
    if boundary is None:
        problems.append('no root boundary of the expected form')
    if date is None or not re.match(r'Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? '
                                    r'(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} '
                                    r'\d\d:\d\d:\d\d [+-]\d{4}$', date or ''):
        problems.append('Date line %r' % date)

    encoded = base64.b64encode(jpeg).decode('ascii')
    expected = [
        'From: ' + sender,
        'To: ' + recipient,
        'Subject: =?ISO-2022-JP?Q?' + safe_qp(subject.encode('iso-2022-jp')) + '?=',
        date,
        'MIME-Version: 1.0 (produced by Vardocam)',
        'X-mailer: Vardocam mail composer',
        'Priority: urgent',
        'X-Priority: 1',
        'X-MSMAIL-Priority: High',
        'Content-type: Multipart/mixed; boundary="%s"' % boundary,
        'Content-Description: Multipart message',
        '',
        '--%s' % boundary,
        'Content-type: text/plain; charset=ISO-2022-JP',
        'Content-Transfer-Encoding: Quoted-printable',
        'Content-Disposition: inline',
        'Content-Description: Message text',
        '',
    ] + [body_qp(line.encode('iso-2022-jp')) for line in body] + [
        '--%s' % boundary,
        'Content-type: image/JPEG; name="recept.jpg"',
        'Content-Transfer-Encoding: Base64',
        'Content-Disposition: attachment; FileName="recept.jpg"',
        'Content-Description: Attached file: recept.jpg',
        '',
    ] + [encoded[i:i + 72] for i in range(0, len(encoded), 72)] + [
        '--%s--' % boundary,
    ]
    if lines != expected:
        for i, (got, want) in enumerate(zip(lines, expected)):
            if got != want:
                problems.append('line %d is %r, expected %r' % (i + 1, got, want))
                break
        else:
            problems.append('%d lines, expected %d' % (len(lines), len(expected)))

    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
