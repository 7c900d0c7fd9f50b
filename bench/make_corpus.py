#!/usr/bin/env python3
"""Builds the extractor benchmark corpus in a work folder.

Everything is generated here or taken from Debian packages; nothing is
downloaded. LibreOffice (headless) and pandoc turn generated sources into
RTF, HTML and PDF; iconv makes the legacy code-page files. The result is
described in corpus.json, which measure.py reads.

Usage: make_corpus.py WORKDIR
"""

import base64
import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path
from xml.sax.saxutils import escape

R_MANUALS = Path("/usr/share/R/doc/manual")
# R's full reference manual: a pdfTeX-typeset manual of some 2400 pages.
LARGE_PDF = R_MANUALS / "fullrefman.pdf"
R_HTML_MANUALS = ["R-intro", "R-lang", "R-data", "R-admin", "R-exts", "R-ints", "R-FAQ"]

# The known text of the quality documents, one list of paragraphs per script.
# Western stays within Latin-1 so that the same text can be written as
# undeclared Latin-1 HTML; Cyrillic stays within windows-1251.
ENGLISH = [
    "The quick brown fox jumps over the lazy dog while five boxing wizards jump quickly.",
    "Plain text extraction keeps every word of the document in reading order.",
]
WESTERN = [
    "Portez ce vieux whisky au juge blond qui fume. L'été dernier, à Genève, nous avons "
    "dégusté une crème brûlée près du château, où le garçon a servi un café très sucré.",
    "Falsches Üben von Xylophonmusik quält jeden größeren Zwerg. Die Straße führt über "
    "die Brücke zum Schloß, wo Jürgen mit Käthe Äpfel aß.",
    "El pingüino Wenceslao hizo kilómetros bajo exhaustiva lluvia y frío, añoraba a su "
    "querido cachorro. ¿Dónde está el niño? ¡Qué señal tan extraña!",
    "À noite, vovô Kowalsky vê o ímã cair no pé do pinguim queixoso e vovó põe açúcar "
    "no chá de tâmaras do jabuti feliz.",
    "Høj bør på fæstningen, og Þórður mødes med Åse i Reykjavík ved Ærø.",
]
CYRILLIC = [
    "Съешь же ещё этих мягких французских булок, да выпей чаю. В чащах юга жил бы "
    "цитрус? Да, но фальшивый экземпляр!",
    "Чуєш їх, доцю, га? Кумедна ж ти, прощайся без ґольфів!",
    "Жълтата дюля беше щастлива, че пухът, който цъфна, замръзна като гьон.",
]
GREEK = [
    "Ξεσκεπάζω την ψυχοφθόρα βδελυγμία. Τάχιστη αλώπηξ βαφής ψημένη γη, δρασκελίζει "
    "υπέρ νωθρού κυνός.",
]
ARABIC = [
    "نص حكيم له سر قاطع وذو شأن عظيم مكتوب على ثوب أخضر ومغلف بجلد أزرق.",
    "اللغة العربية جميلة وغنية بالمفردات والتعابير القديمة والحديثة.",
]
HEBREW = [
    "דג סקרן שט בים מאוכזב ולפתע מצא חברה.",
    "עטלף אבק נס דרך מזגן שהתפוצץ כי חם.",
]
RTL = set(ARABIC + HEBREW)

# Vocabulary of the generated large documents; accents make the Western code
# page matter, a few Cyrillic words make \uN matter.
VOCABULARY = (
    "the of and to in is that for it as was with be by on not he this are or his from at "
    "which but have an they you were her she there been one all we their has would when "
    "document extraction reader parser paragraph section figure table chapter appendix "
    "value result function argument option default example manual reference index "
    "café naïve façade crème brûlée Genève über Straße größer Jürgen señor niño año "
    "coração ação São Zürich résumé déjà élève Ærø Åse Þórður "
    "текст документ страница"
).split()


def run(cmd, **kwargs):
    """Runs a converter with a time limit so that the build cannot hang."""
    kwargs.setdefault("timeout", 900)
    return subprocess.run(cmd, check=True, **kwargs)


def png_bytes(width, height, rng):
    """A noisy RGB PNG: photographs barely compress, so neither should these."""
    raw = bytearray()
    for _ in range(height):
        raw.append(0)
        raw += rng.randbytes(width * 3)
    chunks = []
    for tag, data in (
        (b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)),
        (b"IDAT", zlib.compress(bytes(raw), 6)),
        (b"IEND", b""),
    ):
        chunks.append(struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data)))
    return b"\x89PNG\r\n\x1a\n" + b"".join(chunks)


FODT_HEAD = """<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"
 xmlns:xlink="http://www.w3.org/1999/xlink"
 office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.text">
<office:automatic-styles>
 <style:style style:name="RTL" style:family="paragraph">
  <style:paragraph-properties fo:text-align="end" style:writing-mode="rl-tb"/>
 </style:style>
 <style:style style:name="B" style:family="text"><style:text-properties fo:font-weight="bold"/></style:style>
 <style:style style:name="I" style:family="text"><style:text-properties fo:font-style="italic"/></style:style>
</office:automatic-styles>
<office:body><office:text>
"""
FODT_TAIL = "</office:text></office:body></office:document>\n"


def fodt_paragraph(text):
    style = ' text:style-name="RTL"' if text in RTL else ""
    return f"<text:p{style}>{escape(text)}</text:p>\n"


def write_fodt(path, paragraphs):
    path.write_text(FODT_HEAD + "".join(fodt_paragraph(p) for p in paragraphs) + FODT_TAIL, encoding="utf-8")


def write_large_fodt(path, target_text_bytes, images, seed):
    """A long word-processor document: headings, styled runs, tables, pictures.
    Returns its text, for scoring."""
    rng = random.Random(seed)
    parts = [FODT_HEAD]
    text = []
    written = 0
    paragraph = 0
    picture_every = max(1, (target_text_bytes // 600) // max(1, images))
    pictures = 0
    while written < target_text_bytes:
        paragraph += 1
        if paragraph % 40 == 1:
            parts.append(f'<text:h text:outline-level="1">Chapter {paragraph // 40 + 1}</text:h>\n')
            text.append(f"Chapter {paragraph // 40 + 1}")
        words = [rng.choice(VOCABULARY) for _ in range(rng.randint(50, 120))]
        i = rng.randrange(len(words) - 3)
        body = (
            escape(" ".join(words[:i]))
            + f' <text:span text:style-name="{rng.choice("BI")}">{escape(" ".join(words[i:i + 3]))}</text:span> '
            + escape(" ".join(words[i + 3:]))
            + "."
        )
        parts.append(f"<text:p>{body}</text:p>\n")
        text.append(" ".join(words) + ".")
        written += len(body)
        if paragraph % 150 == 0:
            parts.append("<table:table><table:table-column table:number-columns-repeated=\"3\"/>")
            for _ in range(4):
                parts.append("<table:table-row>")
                for _ in range(3):
                    cell = rng.choice(VOCABULARY)
                    text.append(cell)
                    parts.append(f"<table:table-cell><text:p>{escape(cell)}</text:p></table:table-cell>")
                parts.append("</table:table-row>")
            parts.append("</table:table>\n")
        if pictures < images and paragraph % picture_every == 0:
            pictures += 1
            data = base64.b64encode(png_bytes(160, 120, rng)).decode("ascii")
            parts.append(
                f'<text:p><draw:frame draw:name="Picture{pictures}" text:anchor-type="as-char" '
                f'svg:width="4cm" svg:height="3cm"><draw:image><office:binary-data>{data}'
                "</office:binary-data></draw:image></draw:frame></text:p>\n"
            )
    parts.append(FODT_TAIL)
    path.write_text("".join(parts), encoding="utf-8")
    return text


def soffice_convert(work, target, sources):
    """One LibreOffice start for several files; a private profile keeps it
    clear of any other LibreOffice running on the machine."""
    profile = (work / "soffice-profile").resolve().as_uri()
    run(
        ["soffice", f"-env:UserInstallation={profile}", "--headless", "--norestore",
         "--convert-to", target, "--outdir", str(work), *map(str, sources)],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    for source in sources:
        out = work / (source.stem + "." + target.split(":")[0])
        if not out.is_file() or out.stat().st_size == 0:
            sys.exit(f"make_corpus: LibreOffice did not produce {out.name}")


def iconv(text, encoding):
    return run(["iconv", "-f", "UTF-8", "-t", encoding], input=text.encode("utf-8"), capture_output=True).stdout


def pandoc(markdown, target, out):
    run(["pandoc", "-f", "markdown", "-t", target, "-s", "--metadata", "pagetitle=Known text",
         "-o", str(out)], input=markdown.encode("utf-8"))


def rtf_codepage(paragraphs, codepage, charset, lang):
    """RTF as a word processor on a legacy code page writes it: \\ansicpgN,
    a font \\fcharset and \\'hh bytes, no \\uN."""
    out = [b"{\\rtf1\\ansi\\ansicpg%d\\deff0\\deflang%d{\\fonttbl{\\f0\\froman\\fcharset%d Times New Roman;}}\n"
           % (codepage, lang, charset),
           b"{\\info{\\title Known text}}\\f0\\fs24\n"]
    for p in paragraphs:
        line = bytearray()
        for byte in iconv(p, f"CP{codepage}"):
            if byte >= 0x80:
                line += b"\\'%02x" % byte
            elif byte in b"\\{}":
                line += b"\\" + bytes([byte])
            else:
                line.append(byte)
        out.append(b"\\pard " + bytes(line) + b"\\par\n")
    out.append(b"}\n")
    return b"".join(out)


def html_page(paragraphs, meta_charset):
    meta = f'<meta http-equiv="Content-Type" content="text/html; charset={meta_charset}">\n' if meta_charset else ""
    body = "".join(f"<p>{escape(p)}</p>\n" for p in paragraphs)
    return f"<!DOCTYPE html>\n<html><head>\n{meta}<title>Known text</title></head>\n<body>\n{body}</body></html>\n"


def large_html(out):
    """R's manuals (Debian's r-doc-html), joined into one document as a
    single-page HTML manual: their bodies in one html/body."""
    bodies = []
    for name in R_HTML_MANUALS:
        page = (R_MANUALS / f"{name}.html").read_text(encoding="utf-8")
        match = re.search(r"<body[^>]*>(.*)</body>", page, re.S | re.I)
        bodies.append(match.group(1) if match else page)
    out.write_text(
        '<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>R manuals</title></head>\n<body>\n'
        + "\n<hr>\n".join(bodies) + "\n</body></html>\n",
        encoding="utf-8",
    )


def repeated_body(source, out, open_end, close_start, target_bytes):
    """`source` with the part between `open_end` and `close_start` repeated
    until the file holds at least `target_bytes`: a larger document of the
    same kind, written by streaming, for the extractor's budget."""
    data = source.read_bytes()
    head, body, tail = data[:open_end], data[open_end:close_start], data[close_start:]
    copies = max(1, -(-(target_bytes - len(head) - len(tail)) // len(body)))
    with out.open("wb") as f:
        f.write(head)
        for _ in range(copies):
            f.write(body)
        f.write(tail)


def huge_html(large_html_path, out, target_bytes):
    """The joined R manuals' body over and over, in one page."""
    data = large_html_path.read_bytes()
    open_end = data.index(b"<body>") + len(b"<body>")
    repeated_body(large_html_path, out, open_end, data.rindex(b"</body>"), target_bytes)


def huge_rtf(large_rtf_path, out, target_bytes):
    """LibreOffice's large RTF with its paragraphs and pictures over and
    over: everything after the header's last table (the first paragraph on)
    up to the document's closing brace."""
    data = large_rtf_path.read_bytes()
    repeated_body(large_rtf_path, out, data.index(b"\\pard"), data.rindex(b"}"), target_bytes)


def many_pages_pdf(path, pages, rng):
    """A plain PDF of `pages` pages of four lines each, in one Helvetica font."""
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>",
               b"<< /Type /Pages /Kids [%s] /Count %d >>" % (
                   b" ".join(b"%d 0 R" % (4 + 2 * i) for i in range(pages)), pages),
               b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>"]
    for i in range(pages):
        lines = b" ".join(b"(%s) Tj T*" % " ".join(rng.choice(VOCABULARY) for _ in range(10)).encode()
                          for _ in range(4))
        content = b"BT /F1 12 Tf 72 720 Td 14 TL %s ET" % lines
        objects.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                       b"/Resources << /Font << /F1 3 0 R >> >> /Contents %d 0 R >>" % (5 + 2 * i))
        objects.append(b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content))
    data = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(data))
        data += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    xref = len(data)
    data += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    data += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    data += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    path.write_bytes(bytes(data))


def build(work):
    src = work / "src"
    src.mkdir(parents=True, exist_ok=True)
    entries = []

    def add(name, kind, doc_type, ref=None, note=""):
        entry = {"file": name, "kind": kind, "type": doc_type, "note": note}
        if ref is not None:
            ref_name = name + ".ref.txt"
            (work / ref_name).write_text("\n\n".join(ref) + "\n", encoding="utf-8")
            entry["ref"] = ref_name
        entries.append(entry)

    every = ENGLISH + WESTERN + CYRILLIC + GREEK + ARABIC + HEBREW
    western = ENGLISH + WESTERN
    cyrillic = ENGLISH + CYRILLIC

    # Word-processor documents, converted by LibreOffice in one start per format.
    write_fodt(src / "q-western-lo.fodt", western)
    write_fodt(src / "q-multi-lo.fodt", every)
    write_fodt(src / "q-rtl-lo.fodt", ENGLISH + ARABIC + HEBREW)
    write_fodt(src / "p-small.fodt", ENGLISH + WESTERN[:3])
    rng = random.Random(7)
    onepage = [" ".join(rng.choice(VOCABULARY) for _ in range(80)) + "." for _ in range(5)]
    write_fodt(src / "p-onepage.fodt", onepage)
    large_text = write_large_fodt(src / "p-large.fodt", target_text_bytes=4_500_000, images=60, seed=11)

    soffice_convert(work, "rtf", [src / "q-western-lo.fodt", src / "q-multi-lo.fodt",
                                  src / "p-small.fodt", src / "p-large.fodt"])
    soffice_convert(work, "pdf", [src / "q-multi-lo.fodt", src / "q-rtl-lo.fodt", src / "p-onepage.fodt"])
    soffice_convert(work, "html", [src / "q-multi-lo.fodt"])

    # pandoc's writers, from the same known text.
    markdown = "\n\n".join(every) + "\n"
    pandoc(markdown, "rtf", work / "q-multi-pandoc.rtf")
    pandoc(markdown, "html", work / "q-multi-pandoc.html")
    pandoc("\n\n".join(ENGLISH + WESTERN[:2]) + "\n", "html", work / "p-small.html")

    # Legacy code pages, written straight from the known text.
    (work / "q-western-cp1252.rtf").write_bytes(rtf_codepage(western, 1252, 0, 1031))
    (work / "q-cyrillic-cp1251.rtf").write_bytes(rtf_codepage(cyrillic, 1251, 204, 1049))
    (work / "q-cyrillic-1251.html").write_bytes(iconv(html_page(cyrillic, "windows-1251"), "CP1251"))
    (work / "q-latin1-undeclared.html").write_bytes(iconv(html_page(western, None), "LATIN1"))

    large_html(work / "p-large.html")
    large_pdf = work / "p-large.pdf"
    if large_pdf.exists() or large_pdf.is_symlink():
        large_pdf.unlink()
    large_pdf.symlink_to(LARGE_PDF)

    # The largest legitimate documents the extractor's budget is set by.
    huge_html(work / "p-large.html", work / "b-huge.html", 280_000_000)
    huge_rtf(work / "p-large.rtf", work / "b-huge.rtf", 130_000_000)

    # The same kind of page 1,000 and 10,000 times: time and memory should grow linearly.
    for pages in (1000, 10000):
        many_pages_pdf(work / f"p-pages-{pages}.pdf", pages, random.Random(pages))

    add("p-large.pdf", "perf", "pdf", note="R reference manual, pdfTeX (r-doc-pdf)")
    add("p-pages-1000.pdf", "perf", "pdf", note="1,000 generated pages")
    add("p-pages-10000.pdf", "perf", "pdf", note="10,000 generated pages")
    add("p-onepage.pdf", "perf", "pdf", onepage, "one page, LibreOffice")
    add("p-large.rtf", "perf", "rtf", large_text, "LibreOffice, 60 pictures, tables")
    add("p-small.rtf", "perf", "rtf", ENGLISH + WESTERN[:3], "LibreOffice")
    add("p-large.html", "perf", "html", note="R manuals as one page (r-doc-html)")
    add("p-small.html", "perf", "html", ENGLISH + WESTERN[:2], "pandoc")
    add("b-huge.html", "budget", "html", note="R manuals over and over, 280 MB")
    add("b-huge.rtf", "budget", "rtf", note="the large RTF's body over and over, 130 MB")
    add("q-western-lo.rtf", "quality", "rtf", western, "LibreOffice, \\uN with \\'hh fallback")
    add("q-western-cp1252.rtf", "quality", "rtf", western, "\\ansicpg1252 \\'hh only")
    add("q-multi-lo.rtf", "quality", "rtf", every, "LibreOffice, all scripts")
    add("q-multi-pandoc.rtf", "quality", "rtf", every, "pandoc, all scripts")
    add("q-cyrillic-cp1251.rtf", "quality", "rtf", cyrillic, "\\ansicpg1251 \\'hh")
    add("q-multi-pandoc.html", "quality", "html", every, "pandoc, UTF-8")
    add("q-multi-lo.html", "quality", "html", every, "LibreOffice, UTF-8")
    add("q-cyrillic-1251.html", "quality", "html", cyrillic, "declared windows-1251")
    add("q-latin1-undeclared.html", "quality", "html", western, "Latin-1, no charset")
    add("q-multi-lo.pdf", "quality", "pdf", every, "LibreOffice, all scripts")
    add("q-rtl-lo.pdf", "quality", "pdf", ENGLISH + ARABIC + HEBREW, "LibreOffice, Arabic and Hebrew")

    for entry in entries:
        entry["bytes"] = (work / entry["file"]).stat().st_size
    return entries


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    work = Path(sys.argv[1])
    work.mkdir(parents=True, exist_ok=True)
    # The corpus is rebuilt only when this recipe or the packaged sources change.
    stamp = hashlib.sha256(Path(__file__).read_bytes())
    stamp.update(str(LARGE_PDF.stat().st_mtime_ns).encode())
    stamp = stamp.hexdigest()
    manifest = work / "corpus.json"
    if manifest.exists():
        try:
            if json.loads(manifest.read_text())["stamp"] == stamp:
                print(f"corpus: up to date in {work}")
                return
        except (ValueError, KeyError):
            pass
    for tool in ("soffice", "pandoc", "iconv"):
        if shutil.which(tool) is None:
            sys.exit(f"make_corpus: {tool} is missing")
    print(f"corpus: building in {work} (LibreOffice and pandoc; about a minute)", flush=True)
    entries = build(work)
    manifest.write_text(json.dumps({"stamp": stamp, "files": entries}, indent=1, ensure_ascii=False))
    for entry in entries:
        print(f"  {entry['file']:26} {entry['bytes']:>10} bytes  {entry['note']}")


if __name__ == "__main__":
    main()
