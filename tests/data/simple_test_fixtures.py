# Fixture messages for the tests of the simple test classes, made with
# Python's email package. Prints one line per fixture: its name, a blank and
# the hexadecimal digits of its bytes (lines ended by CR LF).
import sys
from email import policy
from email.header import Header
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.message import Message

CRLF = policy.compat32.clone(linesep='\r\n')
KEY = 'Key=Ab3dE5f7'
fixtures = {}


def put(name, msg, line_length=78):
    if msg.is_multipart():
        msg.set_boundary('=_%s_' % name)
    fixtures[name] = msg.as_bytes(policy=CRLF.clone(max_line_length=line_length))


def headers(msg, subject='Plain subject', to='Me <me@example.com>', cc=None):
    msg['From'] = 'Ann Sender <ann@example.org>'
    msg['To'] = to
    if cc:
        msg['CC'] = cc
    msg['Subject'] = subject
    msg['Message-ID'] = '<fixture@example.org>'
    return msg


# A Subject of encoded words folded over three lines: "Re: Fw: Große
# Ausgabe heute – billig" in UTF-8 and ISO-8859-1 pieces.
folded = Header('Re: Fw: ', 'us-ascii')
folded.append('Große Ausgabe', 'iso-8859-1')
folded.append(' heute – billig', 'utf-8')
msg = headers(MIMEText('Nothing to see.\n', 'plain', 'us-ascii'), subject=folded)
msg['X-Mailer'] = 'Fixture mailer with a rather long name that is folded by Python'

put('folded_subject', msg, line_length=40)

# multipart/alternative: a quoted-printable plain part whose phrase "free
# money" runs over a line break, and a base64 HTML part that splits it by
# markup.
alt = MIMEMultipart('alternative')
headers(alt, subject='Re: Fw: Meeting today', to='ME@EXAMPLE.COM',
        cc='Other <other@example.net>')
plain = MIMEText('Dear friend, you can get free\nmoney today.  Write to '
                 'offers@example.com now!\nA line that is long enough to be soft broken by '
                 'the quoted-printable encoder, with an = sign and \xe9t\xe9.\n',
                 'plain', 'iso-8859-1')
alt.attach(plain)
html = MIMEText('<html><body><p>Get free <b>money</b> today, '
                'OFFER inside.</p></body></html>\n', 'html', 'utf-8')
alt.attach(html)
put('alternative', alt)

# HTML only.
put('html_only', headers(MIMEText('<html><body><p>Only <i>HTML</i> here: cheap '
                                  'pills.</p></body></html>\n', 'html', 'us-ascii'),
                         subject='HTML only'))

# Received chains of 0 to 5 lines, the newest first: the origin is the
# bottom line. Documentation ranges, one address that holds "10.1." inside
# it, and this machine.
relays = ['192.0.2.10', '110.1.2.3', '198.51.100.7', '127.0.0.1', '203.0.113.99']
for count in range(6):
    msg = Message()
    chain = relays[:count]
    # Written newest first: the line of relay k (k = 1 the origin) names the
    # host that handed the message on.
    for k in range(count, 0, -1):
        address = chain[k - 1]
        msg['Received'] = ('from host%d.example.org (host%d.example.org [%s])\r\n\tby '
                           'mx%d.example.net with ESMTP id A%d; Mon, 2 Jan 2023 10:0%d:00 '
                           '+0000' % (k, k, address, k, k, k))
    headers(msg, subject='Relays %d' % count)
    msg.set_payload('Relayed.\n')
    put('received_%d' % count, msg)

# A delivery report whose message/rfc822 part quotes the bounce carrying the
# issued code.
bounce = headers(MIMEText('Please re-send your e-mail with the key "%s" in the '
                          'SUBJECT LINE of your email.\n' % KEY, 'plain', 'us-ascii'),
                 subject='Your message', to='Stranger <stranger@example.net>')
report = MIMEMultipart('report', report_type='delivery-status')
headers(report, subject='Undelivered Mail Returned to Sender')
report.attach(MIMEText('The message below could not be delivered.\n', 'plain', 'us-ascii'))
status = MIMEBase('message', 'delivery-status')
per_message, per_recipient = Message(), Message()
per_message['Reporting-MTA'] = 'dns; mx.example.net'
per_recipient['Final-Recipient'] = 'rfc822; stranger@example.net'
per_recipient['Action'] = 'failed'
per_recipient['Status'] = '5.1.1'
status.set_payload([per_message, per_recipient])
report.attach(status)
report.attach(MIMEMessage(bounce))
put('delivery_report', report)

# The same code only inside a base64 attachment.
mixed = MIMEMultipart('mixed')
headers(mixed, subject='An attachment')
mixed.attach(MIMEText('See the file.\n', 'plain', 'us-ascii'))
attached = MIMEApplication(('The key is %s\n' % KEY).encode('ascii'), 'octet-stream')
attached.add_header('Content-Disposition', 'attachment', filename='key.bin')
mixed.attach(attached)
put('base64_key', mixed)

# A message file with a property line.
body = headers(MIMEText('Categorised.\n', 'plain', 'us-ascii'), subject='Properties')
fixtures['properties'] = (b'X-SMTP: QuorCategory=18,Origin=fixture\r\n' +
                          body.as_bytes(policy=CRLF))

for name, data in fixtures.items():
    sys.stdout.write('%s %s\n' % (name, data.hex()))
