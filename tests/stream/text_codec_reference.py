#!/usr/bin/env python3
"""Python's own codecs as the reference for the text stream tests.

  text_codec_reference.py decode-utf8 IN OUT
      IN: one case per line, the bytes in hex. OUT: per case, the lines a line
      reader gives (split at line feeds and zero characters, then carriage
      returns dropped, malformed input replaced by U+FFFD), each as UTF-16-LE hex,
      joined by ",".
  text_codec_reference.py encode-ENCODING IN OUT
      IN: one case per line, 16-bit units as UTF-16-LE hex (lone surrogates
      allowed). OUT: the text encoded in ENCODING (utf-8, utf-16-le,
      utf-16-be), lone surrogates passed through, in hex.
"""
import re
import sys

mode, source, target = sys.argv[1:4]
out = []
with open(source) as cases:
    for case in cases:
        data = bytes.fromhex(case.strip())
        if mode == "decode-utf8":
            lines = re.split("[\n\0]", data.decode("utf-8", errors="replace"))
            if lines[-1] == "":
                lines.pop()  # the text ended with a line end
            lines = [l.replace("\r", "") for l in lines]
            out.append(",".join(l.encode("utf-16-le", "surrogatepass").hex() for l in lines))
        else:
            encoding = mode[len("encode-"):]
            text = data.decode("utf-16-le", errors="surrogatepass")
            out.append(text.encode(encoding, errors="surrogatepass").hex())
with open(target, "w") as result:
    result.write("\n".join(out) + "\n")
