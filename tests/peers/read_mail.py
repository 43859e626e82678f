#!/usr/bin/python3
"""Reads one delivered mail with Python's standard email package, as an
independent reader would, and prints what the mail tests compare:
SUBJECT=<decoded>, BODY=<text part, lines joined by |>, ATTACHMENT=<file
name> <md5 of the decoded bytes>, DEFECTS=<count>, TO, FROM, MESSAGE_ID and DATE.
With a folder after the path, each attachment is also written there under
its file name."""
import email
import email.header
import email.policy
import hashlib
import os
import sys


def main(path, save_dir=None):
    with open(path, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.compat32)
    subject = str(email.header.make_header(email.header.decode_header(message["Subject"])))
    print("SUBJECT=" + subject.strip())
    defects = len(message.defects)
    for part in message.walk():
        defects += len(part.defects)
        if part.get_content_maintype() == "multipart":
            continue
        payload = part.get_payload(decode=True)
        if part.get_content_maintype() == "text":
            text = payload.decode(part.get_content_charset() or "ascii")
            print("BODY=" + "|".join(text.splitlines()))
        else:
            print("ATTACHMENT=%s %s" % (part.get_filename(), hashlib.md5(payload).hexdigest()))
            if save_dir:
                with open(os.path.join(save_dir, os.path.basename(part.get_filename())), "wb") as f:
                    f.write(payload)
    print("DEFECTS=%d" % defects)
    print("TO=" + message["To"])
    print("FROM=" + message["From"])
    print("MESSAGE_ID=" + (message["Message-ID"] or ""))
    print("DATE=" + (message["Date"] or ""))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else None)
