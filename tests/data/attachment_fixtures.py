"""Messages with attachments named in the ways mail programs name them, made
with Python's email package, for the attachment-check tests.

One line per message: "M name hex-of-the-message-bytes". Then, for each of
its top-level parts after the first, "A name index disposition type cid":
the part's Content-Disposition file name and Content-Type name as email
reads them (get_param, RFC 2231 values collapsed, encoded words decoded to
Latin-1) and its Content-ID, each hex-encoded, "-" when absent; a value
given as an RFC 2231 parameter has "*" in front.
"""
import sys
from email import utils
from email.header import decode_header
from email.mime.application import MIMEApplication
from email.mime.image import MIMEImage
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.policy import compat32

GIF = (b'GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!\xf9\x04\x01\x00\x00'
       b'\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;')


def message(subject):
    m = MIMEMultipart()
    m['From'] = 'sender@example.org'
    m['To'] = 'user@example.org'
    m['Subject'] = subject
    m.attach(MIMEText('See the attachment.\n'))
    return m


def program(name=None, disposition='attachment', type_name=None):
    part = MIMEApplication(b'MZ\x90\x00' * 16, 'octet-stream')
    if type_name is not None:
        part.set_param('name', type_name)
    if disposition is not None:
        if name is None:
            part.add_header('Content-Disposition', disposition)
        else:
            part.add_header('Content-Disposition', disposition, filename=name)
    return part


def fixtures():
    made = {}

    m = message('RFC 2231')
    m.attach(program(('iso-8859-1', '', 'caf\xe9 menu.pdf')))
    made['rfc2231'] = m

    m = message('Encoded word')
    part = program(None)
    del part['Content-Disposition']
    part['Content-Disposition'] = 'attachment; filename="=?iso-8859-1?Q?r=E9sum=E9.doc?="'
    m.attach(part)
    made['encoded_word'] = m

    m = message('Differing names')
    m.attach(program('report.pdf.exe', type_name='report.pdf'))
    made['differing'] = m

    m = message('Type name only')
    m.attach(program(None, disposition=None, type_name='setup.exe'))
    made['type_only'] = m

    m = message('Content-ID only')
    image = MIMEImage(GIF, 'gif')
    image['Content-ID'] = '<logo123@example.org>'
    m.attach(image)
    made['content_id_only'] = m

    m = message('Inline')
    image = MIMEImage(GIF, 'gif')
    image.set_param('name', 'photo.gif')
    image.add_header('Content-Disposition', 'inline')
    m.attach(image)
    made['inline'] = m

    m = message('Attached message')
    inner = MIMEText('Inner body.\n')
    inner['Subject'] = 'Inner'
    m.attach(MIMEMessage(inner))
    made['rfc822'] = m

    m = message('Invoice')
    m.attach(program('invoice.txt.exe'))
    made['invoice'] = m

    m = message('Blanks')
    m.attach(program('readme.txt' + ' ' * 12 + '.exe'))
    made['blanks'] = m

    m = message('Two attachments')
    m.attach(program('notes.txt'))
    m.attach(program('run.bat'))
    made['two'] = m

    made['plain'] = MIMEText('No attachment here.\n')
    made['plain']['Subject'] = 'Plain'
    return made


def decoded(value):
    if value is None:
        return None
    if isinstance(value, tuple):
        value = utils.collapse_rfc2231_value(value)
    out = b''
    for text, charset in decode_header(value):
        out += text if isinstance(text, bytes) else text.encode('latin-1', 'replace')
    return out.decode('latin-1')


def hexed(value):
    if value is None:
        return '-'
    return ('*' if isinstance(value, tuple) else '') + decoded(value).encode('latin-1').hex()


def main():
    for name, m in fixtures().items():
        data = m.as_bytes(policy=compat32.clone(linesep='\r\n'))
        print('M %s %s' % (name, data.hex()))
        if not m.is_multipart():
            continue
        for index, part in enumerate(m.get_payload()[1:], start=1):
            disposition = part.get_param('filename', None, 'content-disposition')
            type_name = part.get_param('name', None)
            print('A %s %d %s %s %s' % (name, index, hexed(disposition), hexed(type_name),
                                        hexed(part.get('Content-ID'))))


if __name__ == '__main__':
    sys.exit(main())
