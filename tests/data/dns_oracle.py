# Reference DNS messages built and read by dnspython, for the packet tests.
#
# With nothing on standard input it builds answer packets and prints, per
# packet, its wire form and the fields a parser must read from it. Given hex
# query packets on standard input (one per line), it prints the header and the
# questions dnspython reads from each.
import sys

import dns.edns
import dns.flags
import dns.message
import dns.name
import dns.rcode
import dns.rdata
import dns.rdataclass
import dns.rdatatype
import dns.rrset


def text(name):
    return "" if name == dns.name.root else name.to_text(omit_final_dot=True)


def fields(rd):
    t = rd.rdtype
    if t == dns.rdatatype.A:
        return "IP=" + rd.address
    if t in (dns.rdatatype.NS, dns.rdatatype.CNAME, dns.rdatatype.PTR):
        return "Host=" + text(rd.target)
    if t == dns.rdatatype.MX:
        return "Pref=%d Server=%s" % (rd.preference, text(rd.exchange))
    if t == dns.rdatatype.TXT:
        return "Text=" + "".join("[%s]" % s.decode("latin-1") for s in rd.strings)
    if t == dns.rdatatype.HINFO:
        return "CPU=%s OS=%s" % (rd.cpu.decode("latin-1"), rd.os.decode("latin-1"))
    if t == dns.rdatatype.SOA:
        return "Primary=%s RP=%s Serial=%d Refresh=%d Retry=%d Expire=%d Min=%d" % (
            text(rd.mname), text(rd.rname), rd.serial, rd.refresh, rd.retry,
            rd.expire, rd.minimum)
    if t == dns.rdatatype.WKS:
        return "Address=%s Protocol=%d BitMap=%s" % (rd.address, rd.protocol, rd.bitmap.hex())
    return ""


def rr(name, ttl, rdtype, *values):
    return dns.rrset.from_text(name, ttl, "IN", rdtype, *values)


def case(label, qname, qtype, qid, answer=(), authority=(), additional=(),
         rcode=dns.rcode.NOERROR, aa=False, ra=True, edns=False):
    query = dns.message.make_query(qname, qtype, use_edns=0 if edns else None)
    query.id = qid
    resp = dns.message.make_response(query)
    resp.set_rcode(rcode)
    if aa:
        resp.flags |= dns.flags.AA
    if ra:
        resp.flags |= dns.flags.RA
    else:
        resp.flags &= ~dns.flags.RA
    resp.answer.extend(answer)
    resp.authority.extend(authority)
    resp.additional.extend(additional)
    wire = resp.to_wire()
    # Read the packet back, so the expectations are what is on the wire.
    back = dns.message.from_wire(wire)
    q = back.question[0]
    out = ["CASE " + label, "ID %d" % qid, "WIRE " + wire.hex(),
           "Q %s %d %d rcode=%d aa=%d ra=%d" % (
               text(q.name), q.rdtype, q.rdclass, back.rcode() & 15,
               1 if back.flags & dns.flags.AA else 0, 1 if back.flags & dns.flags.RA else 0)]
    for section, rrsets in enumerate((back.answer, back.authority, back.additional)):
        for rrset in rrsets:
            for rd in rrset:
                out.append("R %d %s %d %d %d %s" % (section, text(rrset.name), rrset.rdtype,
                                                    rrset.rdclass, rrset.ttl, fields(rd)))
        if section == 2 and back.opt is not None:
            out.append("R 2  41 %d %d " % (back.payload, back.ednsflags))
    out.append("END")
    print("\n".join(out))


def answers():
    case("A", "example.com", "A", 4660,
         answer=[rr("example.com.", 300, "A", "93.184.216.34", "10.0.0.255")], aa=True)
    case("MX", "example.org", "MX", 1,
         answer=[rr("example.org.", 3600, "MX", "20 mx2.example.org.", "10 mx1.example.org.",
                    "30 backup.mail.example.net.")],
         additional=[rr("mx1.example.org.", 60, "A", "192.0.2.1"),
                     rr("mx2.example.org.", 60, "A", "192.0.2.2")])
    case("PTR", "4.3.2.1.in-addr.arpa", "PTR", 65535,
         answer=[rr("4.3.2.1.in-addr.arpa.", 86400, "PTR", "host-1.example.net.")])
    case("CNAME chain", "www.example.com", "A", 777,
         answer=[rr("www.example.com.", 120, "CNAME", "edge.example.com."),
                 rr("edge.example.com.", 120, "CNAME", "edge.cdn.example.net."),
                 rr("edge.cdn.example.net.", 20, "A", "198.51.100.7")])
    case("TXT strings", "example.com", "TXT", 4242,
         answer=[rr("example.com.", 10, "TXT", '"v=spf1 -all"',
                    '"first" "second part" "%s"' % ("x" * 200))])
    case("NXDOMAIN with SOA", "nosuch.example.com", "A", 999,
         authority=[rr("example.com.", 900, "SOA",
                       "ns1.example.com. hostmaster.example.com. 2024010101 7200 3600 1209600 300")],
         rcode=dns.rcode.NXDOMAIN, aa=True, ra=False)
    case("NS with glue and unknown types", "example.net", "NS", 31337,
         answer=[rr("example.net.", 172800, "NS", "a.iana-servers.net.", "b.iana-servers.net.")],
         additional=[rr("a.iana-servers.net.", 172800, "A", "199.43.135.53"),
                     rr("a.iana-servers.net.", 172800, "AAAA", "2001:500:8f::53")],
         edns=True)
    case("HINFO and WKS", "old.example.com", "ANY", 5,
         answer=[rr("old.example.com.", 5, "HINFO", '"VAX-11/780" "UNIX"'),
                 rr("old.example.com.", 5, "WKS", "10.0.0.1 6 25 80")])
    case("Mixed case names", "MiXeD.Example.COM", "A", 8,
         answer=[rr("MiXeD.Example.COM.", 0, "A", "127.0.0.2")])


def queries(lines):
    for line in lines:
        line = line.strip()
        if not line:
            continue
        msg = dns.message.from_wire(bytes.fromhex(line))
        qs = ";".join("%s %s %s" % (q.name.to_text(), dns.rdatatype.to_text(q.rdtype),
                                    dns.rdataclass.to_text(q.rdclass)) for q in msg.question)
        print("id=%d rd=%d qr=%d %s" % (msg.id, 1 if msg.flags & dns.flags.RD else 0,
                                        1 if msg.flags & dns.flags.QR else 0, qs))


if __name__ == "__main__":
    given = sys.stdin.read()
    if given.strip():
        queries(given.splitlines())
    else:
        answers()
