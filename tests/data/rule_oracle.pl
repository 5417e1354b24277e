# Decides full rule patterns with Perl's own engine. Input lines: "P hex mods"
# (a pattern and its modifier letters, of which i, s and m count) and then
# "T hex" (a text); for each text, prints one character per pattern: 1 (a
# match), 0 (none) or E (Perl does not compile the pattern).
use strict;
use warnings;
no warnings;
my @patterns;
while (my $line = <STDIN>) {
  chomp $line;
  my ($kind, $hex, $mods) = split / /, $line, 3;
  my $bytes = pack('H*', $hex // '');
  if ($kind eq 'P') {
    my $flags = join '', grep { index(lc($mods // ''), $_) >= 0 } qw(i s m);
    my $re = eval { $flags ne '' ? qr/(?$flags)$bytes/ : qr/$bytes/ };
    push @patterns, $re;
  } else {
    my $out = '';
    for my $re (@patterns) {
      $out .= !defined $re ? 'E' : ($bytes =~ $re ? '1' : '0');
    }
    print "$out\n";
  }
}
