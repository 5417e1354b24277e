"""What the HTML check looks for, read by Python's HTML parsers.

Reads lines from standard input, each the path of an HTML file (the decoded
HTML part of a message, read as Latin-1) followed by the message's own
Content-Location values, tab-separated. Prints one line per file, three
readings of nine counts each:

  tree  ...   html5lib's tree: elements and attributes as a browser keeps
              them
  token ...   html.parser's start tags: every tag as written, also where the
              tree leaves it out (inside a frame's fallback content, an
              attribute repeated or on a misplaced tag)
  hidden ...  what the text the HTML does not show holds: tags inside
              <script> elements (what a script writes) and inside comments,
              found by their names

The counts, in order: scripts (<script> elements and attribute values naming
a script language), events
(onclick ... onunload attributes), refresh and scripttype (<meta
http-equiv>), link, objects (<object>, <applet>, <embed>), frames
(<iframe>, <frameset>), images (external image references: <img src>,
background attributes, <input type=image src>, url() in <style> text;
"cid:" references and the message's own Content-Locations left out), and
inputs (of those images, the <input type=image src> ones).
"""
import re
import sys
from html.parser import HTMLParser

import html5lib

EVENTS = set('onclick ondblclick onmousedown onmouseup onmouseover onmousemove onmouseout '
             'onkeypress onkeydown onkeyup onfocus onblur onsubmit onload onabort onchange '
             'ondragdrop onerror onmove onreset onresize onselect onunload'.split())
LANGUAGES = ('jscript:', 'javascript:', 'vbs:', 'vbscript:', 'perlscript:', 'wmlscript:')
URL = re.compile(r'url\(\s*["\']?([^"\')\s]+)', re.I)
ORDER = ('scripts', 'events', 'refresh', 'scripttype', 'link', 'objects', 'frames', 'images',
         'inputs')


def new_counts():
    return dict.fromkeys(ORDER, 0)


class Reading:
    def __init__(self, own):
        self.own = own
        self.f = new_counts()

    def external(self, ref):
        ref = (ref or '').strip().strip('"\'')
        return bool(ref) and not ref.lower().startswith('cid:') and ref not in self.own

    def tag(self, tag, attrs):
        f = self.f
        names = [name for name, _ in attrs]
        attrs = dict((name, value or '') for name, value in reversed(attrs))
        if tag == 'script':
            f['scripts'] += 1
        f['scripts'] += sum(1 for v in attrs.values() if v.strip().lower().startswith(LANGUAGES))
        f['events'] += sum(1 for name in names if name in EVENTS)
        if tag == 'meta':
            equiv = attrs.get('http-equiv', '').strip().lower()
            f['refresh'] += equiv == 'refresh'
            f['scripttype'] += equiv == 'content-script-type'
        f['link'] += tag == 'link'
        f['objects'] += tag in ('object', 'applet', 'embed')
        f['frames'] += tag in ('iframe', 'frameset')
        if tag == 'img' and self.external(attrs.get('src')):
            f['images'] += 1
        if self.external(attrs.get('background')):
            f['images'] += 1
        if tag == 'input' and attrs.get('type', '').lower() == 'image' and \
                self.external(attrs.get('src')):
            f['images'] += 1
            f['inputs'] += 1

    def style(self, text):
        self.f['images'] += sum(1 for ref in URL.findall(text or '') if self.external(ref))


def tree_reading(text, own):
    reading = Reading(own)
    tree = html5lib.parse(text, namespaceHTMLElements=False)
    for el in tree.iter():
        if not isinstance(el.tag, str):
            continue
        tag = el.tag.rsplit('}', 1)[-1].lower()
        reading.tag(tag, [(k.lower(), v) for k, v in el.attrib.items()])
        if tag == 'style':
            reading.style(el.text)
    return reading.f


class Tokens(HTMLParser):
    def __init__(self, own):
        super().__init__(convert_charrefs=True)
        self.reading = Reading(own)
        self.hidden = []
        self.where = None

    def handle_starttag(self, tag, attrs):
        self.reading.tag(tag, attrs)
        if tag in ('style', 'script'):
            self.where = tag

    def handle_startendtag(self, tag, attrs):
        self.reading.tag(tag, attrs)

    def handle_endtag(self, tag):
        self.where = None

    def handle_data(self, data):
        if self.where == 'style':
            self.reading.style(data)
        elif self.where == 'script':
            self.hidden.append(data)

    def handle_comment(self, data):
        self.hidden.append(data)


def hidden_reading(texts):
    f = new_counts()
    text = '\n'.join(texts).lower()
    f['scripts'] = len(re.findall(r'<script|(?:%s)' % '|'.join(LANGUAGES), text))
    f['events'] = len(re.findall(r'\bon(?:%s)\s*=' % '|'.join(e[2:] for e in EVENTS), text))
    f['link'] = len(re.findall(r'<link', text))
    f['objects'] = len(re.findall(r'<(?:object|applet|embed)', text))
    f['frames'] = len(re.findall(r'<(?:iframe|frameset)', text))
    f['images'] = len(re.findall(r'<img[^>]*src', text)) + \
        len(re.findall(r'background\s*=\s*["\']?\s*(?!cid:)[^\s"\'>]', text))
    return f


for line in sys.stdin.read().split('\n'):
    if not line:
        continue
    path, *own = line.split('\t')
    with open(path, 'rb') as handle:
        text = handle.read().decode('latin-1')
    tokens = Tokens(set(own))
    tokens.feed(text)
    tokens.close()
    readings = (('tree', tree_reading(text, set(own))), ('token', tokens.reading.f),
                ('hidden', hidden_reading(tokens.hidden)))
    print(' '.join(name + ' ' + ' '.join(str(f[k]) for k in ORDER) for name, f in readings))
