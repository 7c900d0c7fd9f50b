#!/usr/bin/python3
"""Differential test of the HTML reader against html5lib's tree.

Makes tag-soup documents from a fixed seed and compares the words the
extractor writes with the words of the tree html5lib builds, read the way the
reader lays text out. Run with Debian's /usr/bin/python3 (python3-html5lib).
Usage: tagsoup.py EXTRACTOR [SEED] [COUNT] [--show N]

Known differences from html5lib 1.1, which predates parts of the standard and
is not followed there: template elements (left out of the documents), and an
implied end of dd, dt or li inside a table, after which html5lib stops foster
parenting the new item (the reader fosters it, as the standard says).
"""
import os
import random
import re
import subprocess
import sys
import tempfile

import html5lib
from html5lib import constants, html5parser

# html5lib 1.1 leaves these out of the special category the standard defines;
# without them an end tag inside MathML text closes elements it must not.
html5parser.specialElements |= {(constants.namespaces["mathml"], n)
                              for n in ("mi", "mo", "mn", "ms", "mtext", "annotation-xml")} | \
    {(constants.namespaces["svg"], n) for n in ("desc", "title")}

# Layout choices of the reader, named: these never show...
HIDDEN = {"head", "title", "script", "style", "template", "noscript", "select", "audio",
          "canvas", "datalist", "iframe", "noembed", "noframes", "video"}
FOREIGN_HIDDEN = {"script", "style", "title"}
# ...these end a line (or separate cells) so their words never join a neighbour's...
BLOCKS = {"address", "article", "aside", "blockquote", "br", "caption", "center", "dd",
          "details", "dialog", "dir", "div", "dl", "dt", "fieldset", "figcaption", "figure",
          "footer", "form", "frameset", "h1", "h2", "h3", "h4", "h5", "h6", "header", "hgroup",
          "hr", "legend", "li", "listing", "main", "menu", "nav", "ol", "optgroup", "option",
          "p", "plaintext", "pre", "search", "section", "summary", "table", "td", "th", "tr",
          "ul", "xmp"}
# ...an image shows its alt text, and list items get a marker, which is no word.
# No template elements: html5lib 1.1 predates them and parses one as any other
# element; the reader follows the standard (contents never shown).
MARKER = re.compile(r"^(\u2022|\u25e6|\u25aa|[0-9]+\.|[a-zA-Z]+\.)$")
SPACE = re.compile(r"[ \t\n\r\f]+")

WORDS = ["alpha", "bravo", "charlie", "delta", "echo", "fox", "golf", "hotel", "india",
         "kilo", "lima", "mike", "nov", "oscar", "papa", "romeo", "sierra", "tango"]
REFS = ["&amp;", "&nbsp", "&copy;", "&copy", "&#146;", "&#x80;", "&#0;", "&notin;", "&notit;",
        "&lt", "&#x1F600;", "&bogus;", "&", "&#55296;", "&amp"]
INLINE = ["span", "b", "i", "a", "em", "strong", "font", "nobr", "u", "code", "small", "x-y"]
BLOCK = ["div", "p", "h1", "h3", "blockquote", "section", "center", "ul", "ol", "li", "dl",
         "dt", "dd", "pre", "address", "form", "button"]
TABLE = ["table", "tr", "td", "th", "tbody", "thead", "caption", "colgroup", "col"]
ODD = ["<br>", "</br>", "</p>", "<hr>", "<img alt='img{w}'>", "<img src=x>", "<input>",
       "<textarea>{w} <b>{w}</textarea>", "<title>{w}</title>", "<style>{w}</style>",
       "<script>var s='<p>{w}</p>';</script>", "<noscript><p>{w}</p></noscript>",
       "<script><!-- document.write('<script>x</script>') //--></script>",
       "<script><!--<script>{w}</script>-->{w}</script>",
       "<select><option>{w}<option>{w}</select>", "<!-- {w} -->", "<!-->", "<!--->",
       "<!-- a -- b --!>", "<!{w}>", "<?php {w} ?>", "</ {w}>", "<![if !IE]>", "<![endif]>",
       "<div hidden>{w}</div>", "<p style='display:none'>{w}</p>", "<xmp><b>{w}</xmp>",
       "<svg><text>{w}</text><desc><p>{w}</desc><![CDATA[{w}<b>]]></svg>",
       "<svg><foreignObject><div>{w}</div></foreignObject><p>{w}</svg>",
       "<math><mi>{w}</mi><mtext><b>{w}</b></mtext><annotation-xml encoding='text/html'>"
       "<div>{w}</div></annotation-xml></math>",
       "<svg><title>{w}</title><g><b>{w}</b></g></svg>", "<math><ms><svg><g>{w}</g></svg>",
       "\0", "\r\n", "<a href=x>{w}<div>{w}</a>{w}</div>", "<b>{w}<p>{w}</b>{w}</p>",
       "<listing>\n{w}</listing>", "<pre>\n\n{w}</pre>", "<plaintext>"]


def word(rng):
    return rng.choice(WORDS)


def document(rng):
    parts = []
    if rng.random() < 0.3:
        parts.append(rng.choice(["<!DOCTYPE html>", "<!doctype html public '-//W3C//DTD HTML "
                                 "4.0 Transitional//EN'>", "<!DOCTYPE x>"]))
    if rng.random() < 0.3:
        parts.append("<html><head><meta charset=utf-8><title>%s</title>" % word(rng))
        parts.append(rng.choice(["</head>", "", "<link rel=x>", "<div>"]))
    open_tags = []
    for _ in range(rng.randint(5, 40)):
        r = rng.random()
        if r < 0.3:
            parts.append(" ".join(word(rng) for _ in range(rng.randint(1, 3))))
            parts.append(rng.choice(["", " ", "\n"]))
        elif r < 0.55:
            tag = rng.choice(INLINE + BLOCK + TABLE)
            parts.append("<%s>" % tag)
            open_tags.append(tag)
        elif r < 0.7 and open_tags:
            tag = open_tags.pop(rng.randrange(len(open_tags)) if rng.random() < 0.3 else -1)
            parts.append("</%s>" % tag)
        elif r < 0.8:
            parts.append(rng.choice(REFS))
        elif r < 0.97:
            choice = rng.choice(ODD)
            if choice != "<plaintext>":
                parts.append(choice.replace("{w}", word(rng)))
        else:
            parts.append(rng.choice(["</body>", "</html>", "</table>", "<frameset>", "<body>"]))
    if rng.random() < 0.05:
        parts.append("<plaintext><b>%s" % word(rng))
    return "".join(parts)


def oracle_words(html):
    # The DOM tree builder: etree's loses nodes that foster parenting moved.
    document = html5lib.parse(html, treebuilder="dom", namespaceHTMLElements=False,
                              scripting=True)
    pieces = []
    walk(document, pieces)
    return [w for w in SPACE.split("".join(pieces)) if w]


def walk(node, pieces):
    for child in node.childNodes:
        if child.nodeType == child.TEXT_NODE:
            pieces.append(child.data)
        elif child.nodeType == child.ELEMENT_NODE:
            element(child, pieces)


def element(node, pieces):
    foreign = node.namespaceURI not in (None, "http://www.w3.org/1999/xhtml")
    name = node.localName or node.tagName
    style = re.sub(r"\s", "", node.getAttribute("style").lower())
    if (node.hasAttribute("hidden") and node.getAttribute("hidden") != "until-found") or \
            re.search(r"(^|[;{])display:none($|[;!])", style) or \
            name in (FOREIGN_HIDDEN if foreign else HIDDEN) or \
            (name == "dialog" and not foreign and not node.hasAttribute("open")):
        return
    block = not foreign and name in BLOCKS
    pieces.append("\n" if block else "")
    if name == "img" and not foreign:
        pieces.append(node.getAttribute("alt"))
    walk(node, pieces)
    pieces.append("\n" if block else "")


def our_words(extractor, path):
    run = subprocess.run([extractor, "--extract", path], capture_output=True, timeout=30)
    text = run.stdout.decode("utf-8")
    return [w for w in SPACE.split(text) if w and not MARKER.match(w)]


def main():
    extractor = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    show = int(sys.argv[sys.argv.index("--show") + 1]) if "--show" in sys.argv else 5
    rng = random.Random(seed)
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "soup.html")
        for i in range(count):
            html = document(rng)
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(html)
            ours, theirs = our_words(extractor, path), oracle_words(html)
            if all(not w.strip() for w in theirs):
                theirs = []  # white space alone (no-break too) is no text
            if ours != theirs:
                failed += 1
                if failed <= show:
                    print("document %d: %r\n  ours:     %s\n  html5lib: %s"
                          % (i, html, " ".join(ours), " ".join(theirs)))
    print("tagsoup: seed %d, %d of %d documents agree (%.1f%%)"
          % (seed, count - failed, count, 100.0 * (count - failed) / count))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
