#!/usr/bin/perl
# The engine model's rules, one row each: a change to the model that the
# engine suite would only reveal on a machine with the daemons shows here.
use strict;
use warnings;
use lib __FILE__ =~ m{^(.*)/} ? $1 : '.';   # beside this file (FindBin is not in perl-base)
use EngineModel qw(nagios icinga nrpe);

my $long = "A\n" x 600;   # 1200 bytes: past what an old NRPE packet carries
my @rows = (
    # engine, exit, output, expected [state, status, long output, perfdata]
    [nagios => 0, "MEMORY OK - x | m=1MB;2;3\n", [0, 'MEMORY OK - x', '', 'm=1MB;2;3']],
    [nagios => 1, "W\nline 2\n\nlast | a=1\nb=2\n", [1, 'W', "line 2\n\nlast ", 'a=1 b=2']],
    [nagios => 2, "C - a; b | m=1;2\nx; y\n", [2, 'C - a: b', 'x; y', 'm=1;2']],
    [nagios => 0, '', [0, '(No output on stdout) stderr: oops', '', '']],
    [nagios => 0, "  \n", [0, '(No output returned from plugin)', '', '']],
    [nagios => 255, "x\n", [2, "(Return code of 255 for service 's' on host 'h' was out of bounds)", '', '']],
    [icinga => 2, "  C - x | m=1;2;3 n=4\nmore | o=5\n", [2, "C - x \nmore ", '', 'm=1;2;3 n=4 o=5']],
    [icinga => 0, "a | b\n", [0, 'a | b', '', '']],
    [icinga => 255, "", [3, '', '', '']],
    [nrpe => 0, "OK\n", [0, "OK\n", '', '']],
    [nrpe => 1, '', [3, "NRPE: Unable to read output\n", '', '']],
    [nrpe => -1, "x", [3, "x\n", '', '']],
    [nrpe_old => 0, $long, [0, substr($long, 0, 1023) . "\n", '', '']],
    [nrpe => 0, $long, [0, $long, '', '']],
);

my %model = (
    nagios => sub { nagios($_[0], $_[1], 'oops', 's', 'h') },
    icinga => \&icinga,
    nrpe => sub { nrpe(@_, 0) },
    nrpe_old => sub { nrpe(@_, 1) },
);
my $failed = 0;
for my $i (0 .. $#rows) {
    my ($engine, $rc, $out, $want) = @{$rows[$i]};
    my $got = $model{$engine}->($rc, $out);
    my ($g, $w) = map { join('|', map { s/\n/\\n/gr } @$_) } $got, $want;
    if ($g ne $w) { print "not ok $i $engine: got '$g', expected '$w'\n"; $failed = 1 }
}
print $failed ? "FAILED\n" : "ok " . scalar(@rows) . " rows\n";
exit $failed;
