#!/usr/bin/perl
# Compares what each route stored (observed.tsv) with what the engine model
# says it stores for what the program printed when run directly. One PASS or
# FAIL line per scenario of scenarios.tsv.
#   compare.pl ENGINE-DIR HOST AGENT AGENT-PLUGIN-DIR
use strict;
use warnings;
use lib __FILE__ =~ m{^(.*)/} ? $1 : '.';   # beside this file (FindBin is not in perl-base)
use EngineModel qw(nagios icinga nrpe);

my ($eng, $host, $agent, $agent_plugins) = @ARGV;

sub slurp { open(my $f, '<', $_[0]) or return ''; local $/; my $s = <$f>; close $f; $s }
sub unesc { my $s = shift; $s =~ s/\\(.)/$1 eq 'n' ? "\n" : $1 eq 't' ? "\t" : $1 eq 'r' ? "\r" : $1/ge; $s }
sub show { my $s = shift; $s =~ s/\\/\\\\/g; $s =~ s/\n/\\n/g; "'$s'" }
my @names = qw(OK WARNING CRITICAL UNKNOWN);

my %seen;     # route -> scenario -> [state, status, long, perf, where it ran]; direct: [exit, stdout, stderr]
for (split /\n/, slurp("$eng/observed.tsv")) {
    my ($route, $name, @f) = split /\t/, $_, -1;
    $seen{$route}{$name} = [map { unesc($_ // '') } @f[0 .. 4]];
}

my $nagios_log = slurp("$eng/nagios/nagios.log");
my $icinga_log = slurp("$eng/icinga/log/icinga2.log");
my $nrpe_log = slurp("$eng/nrpe/nrpe.log");
# The agent names only the host in its log: its warnings are matched by the
# arguments the master's own run of the scenario logged.
my @agent_log = grep { m{(warning|critical)/} } split /\n/, slurp("$eng/agent/log/icinga2.log");
my $failed = 0;
my @nrpe_trouble = grep { /warn|error/i } split /\n/, $nrpe_log;
if (@nrpe_trouble) { print "FAIL engines: NRPE logged: $_\n" for @nrpe_trouble; $failed = 1 }

for (split /\n/, slurp("$eng/scenarios.tsv")) {
    my ($name, $program, $origin, $expected, $figures) = split /\t/;
    my @problems;
    my $direct = $seen{direct}{$name} or die "no direct run of $name\n";
    my ($rc, $out, $err) = @$direct;
    push @problems, "direct: wrote to stderr: " . show($err) if $err ne '';
    push @problems, "direct: exit $rc, the scenario is made for $expected" if $expected ne '-' && $rc != $expected;

    my %want;
    my $via = nrpe($rc, $out, 0);
    $want{check_nrpe} = $via;
    $want{'check_nrpe -2'} = nrpe($rc, $out, 1);
    $want{'nagios/nrpe'} = nagios($via->[0], $via->[1], '', "nn-$name", $host);
    $want{'icinga/nrpe'} = icinga($via->[0], $via->[1]);
    if ($origin eq 'suite') {
        $want{nagios} = nagios($rc, $out, $err, "nd-$name", $host);
        $want{icinga} = icinga($rc, $out);
        $want{'icinga/agent'} = icinga($rc, $out);
    }
    # The shipped commands check this host's own processes, which move between
    # two runs (NRPE forks while it answers), and proportional and unique
    # figures move too: their state, status word and perfdata labels are compared, not the figures.
    my $norm = $origin eq 'suite' && $figures eq 'exact' ? sub { shift }
        : sub { (my $s = shift) =~ s/ - [^|\n]*/ - .../g; $s =~ s/=\S*//g; $s =~ s/\d+/#/g; $s };
    my @what = ('state', 'status text', 'long output', 'perfdata');
    for my $route (sort keys %want) {
        my $got = $seen{$route}{$name};
        if (!$got) { push @problems, "$route: no result"; next }
        for my $i (0 .. 3) {
            next if $route =~ /^check_nrpe/ && $i > 1;
            my ($g, $w) = ($got->[$i], $want{$route}[$i]);
            push @problems, "$route: $what[$i] " . show($g) . ", expected " . show($w) if $norm->($g) ne $norm->($w);
        }
    }

    # The agent ran it, from its own plugin directory: the master has the result only.
    if (my $got = $seen{'icinga/agent'}{$name}) {
        my $where = "$agent " . ($program eq 'check_trelmark' ? "$agent_plugins/check_trelmark" : 'Trelmark64');
        push @problems, "icinga/agent: ran as " . show($got->[4]) . ", expected " . show($where) if $got->[4] ne $where;
    }

    # Only an exit code outside 0-3, run by the engine itself, makes it warn:
    # Nagios in one line, Icinga with the whole output.
    my @lines_nagios = grep { /Warning/ } split /\n/, $nagios_log;
    my @lines_icinga = grep { /warning\// } split /\n/, $icinga_log;
    my @warned = ((map { "nagios logged: $_" } grep { /'n[dn]-\Q$name\E'/ } @lines_nagios),
                  (map { "icinga logged: $_" } grep { /!i[dna]-\Q$name\E'/ } @lines_icinga));
    if ($origin eq 'suite' && ($rc < 0 || $rc > 3)) {
        my ($args) = map { /arguments: (.*)\) terminated with exit code/ ? $1 : () } grep { /!id-\Q$name\E'/ } @lines_icinga;
        my $agent_warned = @agent_log;
        @agent_log = grep { !(defined $args && /Check command for object '\Q$agent\E' \(PID: \d+, arguments: \Q$args\E\) terminated with exit code $rc, output: /) } @agent_log;
        push @problems, "the agent did not warn about exit $rc" if @agent_log != $agent_warned - 1;
        my $n = @warned;
        @warned = grep { !/Return code of $rc for check of service 'nd-\Q$name\E' on host '\Q$host\E' was out of bounds\.$/
                         && !/'[^']*!id-\Q$name\E' .* terminated with exit code $rc, output: / } @warned;
        push @problems, "the engines did not both warn about exit $rc" if $n - @warned != 2;
    }
    push @problems, @warned;

    if ($program eq 'check_trelmark') {
        # The plugin's own conventions, which the engines rely on.
        my ($first) = split /\n/, $out;
        $first //= '';
        push @problems, "direct: exit $rc is not a plugin state" if $rc < 0 || $rc > 3;
        push @problems, "direct: first line " . show($first) . " does not say MEMORY $names[$rc]"
            if $rc >= 0 && $rc <= 3 && $first !~ /^MEMORY \Q$names[$rc]\E - \S/;
        # A figure comes with its perfdata; an empty selection (--empty-state) has none.
        push @problems, "direct: no perfdata" if $rc != 3 && $first =~ / MB / && $first !~ /\| *\S+=\S+/;
        # '|' separates the perfdata: anywhere else Nagios cuts the text there.
        my @pipes = ($out =~ /\|/g);
        push @problems, "direct: '|' elsewhere than before the perfdata of the first line: " . show($out)
            if @pipes > 1 || (@pipes && $first !~ /\|/);
    }

    my $routes = join(', ', 'direct', sort keys %want);
    my $summary = $program eq 'check_trelmark' ? (split /\n/, $out)[0] // '' : "exit $rc";
    $summary =~ s/ \|.*//;
    if (@problems) {
        print "FAIL engines $name ($program): $_\n" for @problems;
        $failed = 1;
    } else {
        print "PASS engines $name ($program, $summary): $routes\n";
    }
}
if (@agent_log) { print "FAIL engines: the Icinga 2 agent logged: $_\n" for @agent_log; $failed = 1 }
exit $failed;
