# Fixture messages for the rule program's tests, made with Python's email
# package. Prints one line per fixture: its name, a blank and the
# hexadecimal digits of its bytes (lines ended by CR LF).
import base64
from email import policy
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.message import Message

CRLF = policy.compat32.clone(linesep='\r\n')
fixtures = {}


def put(name, msg, line_length=78):
    if msg.is_multipart():
        msg.set_boundary('=_%s_' % name)
    fixtures[name] = msg.as_bytes(policy=CRLF.clone(max_line_length=line_length))


def headers(msg, subject='Lunch on Friday', skip=()):
    for name, value in (('From', 'Ann Sender <ann@example.org>'),
                        ('To', 'Mia Reader <mia@example.com>'),
                        ('Subject', subject),
                        ('Date', 'Mon, 2 Sep 2002 10:00:00 +0100'),
                        ('Message-ID', '<fixture.1@example.org>')):
        if name not in skip:
            msg[name] = value
    return msg


def text(body, subject='Lunch on Friday', skip=(), charset='us-ascii'):
    return headers(MIMEText(body, 'plain', charset), subject, skip)


CALM = 'Shall we meet at noon near the station?\nBring the notes.\n'

# An ordinary personal message.
put('plain', text(CALM))

# The same from a mailing list, whose text asks to opt-in.
msg = text('Please opt-in to the weekly digest.\n' + CALM)
msg['List-Id'] = '<talk.example.org>'
msg['List-Unsubscribe'] = '<mailto:talk-leave@example.org>'
put('list', msg)
del msg['List-Id']
del msg['List-Unsubscribe']
put('opt_in', msg)

# No From, To, Subject or Date.
put('bare', text(CALM, skip=('From', 'To', 'Subject', 'Date')))

# Replies: with In-Reply-To and References, and a forward with neither.
msg = text(CALM, subject='Re: Lunch on Friday')
msg['In-Reply-To'] = '<fixture.0@example.org>'
msg['References'] = '<fixture.0@example.org>'
put('reply', msg)
put('forward', text(CALM, subject='FW: Lunch on Friday'))

# HTML that runs a script when it loads, on a coloured page.
alt = headers(MIMEMultipart('alternative'), subject='Your order')
alt.attach(MIMEText(CALM, 'plain', 'us-ascii'))
alt.attach(MIMEText('<html><body bgcolor="#a0c0e0" onLoad="go()"><SCRIPT>'
                    'function go() {}</SCRIPT><p>Hello</p></body></html>\n',
                    'html', 'us-ascii'))
put('html_script', alt)

# HTML without a script: a marquee and an event handler that needs one.
alt = headers(MIMEMultipart('alternative'))
alt.attach(MIMEText(CALM, 'plain', 'us-ascii'))
alt.attach(MIMEText('<html><body onLoad="go()"><marquee>News</marquee>'
                    '<a onClick="x()">Hi</a></body></html>\n', 'html', 'us-ascii'))
put('html_plain', alt)

# A quoted-printable part whose encoded line is longer than 76 characters.
msg = headers(Message())
msg['MIME-Version'] = '1.0'
msg['Content-Type'] = 'text/plain; charset="iso-8859-1"'
msg['Content-Transfer-Encoding'] = 'quoted-printable'
msg.set_payload('Caf=E9 ' + 'word ' * 20 + 'end\n' + CALM)
put('qp_long', msg)

# A text part in base64.
mixed = headers(MIMEMultipart('mixed'))
part = Message()
part['Content-Type'] = 'text/plain; charset="us-ascii"'
part['Content-Transfer-Encoding'] = 'base64'
part.set_payload(base64.encodebytes(CALM.encode()).decode())
mixed.attach(part)
put('base64_text', mixed)

# Shouting: three lines of yelling, nearly all capitals.
put('yelling', text('BUY NOW, THIS OFFER ENDS TODAY!!!\n'
                    'ALL PRICES CUT IN HALF FOR YOU!!!\n'
                    'CALL US BEFORE MIDNIGHT, FRIENDS!!!\n',
                    subject='GREAT NEWS!!!'))

# Header marks: a header name in capitals, a forged Received line, high
# priority, an Exchange mailer (decided by a header evaluation), a Bcc.
msg = Message()
msg['Received'] = 'from mx.example.org (may be forged) by in.example.com'
msg['FROM'] = 'Ann Sender <ann@example.org>'
msg['TO'] = 'Mia Reader <mia@example.com>'
msg['Subject'] = 'Lunch on Friday'
msg['Date'] = 'Mon, 2 Sep 2002 10:00:00 +0100'
msg['Message-ID'] = '<fixture.1@example.org>'
msg['X-Priority'] = '1 (Highest)'
msg['X-Mailer'] = 'Internet Mail Service (5.5.2653.19)'
msg['Bcc'] = 'hidden@example.com'
msg.set_payload(CALM)
put('header_marks', msg)

# A relay of the first web-mail service as the last Received line: a Bcc,
# HTML without a character set and a very long line are then not held
# against the message.
def html_without_charset(relay):
    msg = Message()
    msg['Received'] = 'from mx.example.org by in.example.com'
    if relay:
        msg['Received'] = 'bay0-omc1-s12.bay0.hotmail.com'
    headers(msg)
    msg['Bcc'] = 'hidden@example.com'
    msg['Content-Type'] = 'text/html'
    msg.set_payload('<html><body><p>Hello</p>\n<p>' + 'long ' * 50 + '</p></body></html>\n')
    return msg


put('hotmail_relay', html_without_charset(True), line_length=0)
put('html_no_charset', html_without_charset(False), line_length=0)

# Larger than 25000 bytes.
put('large', text(CALM * 500))

for name, data in fixtures.items():
    print(name, data.hex())
