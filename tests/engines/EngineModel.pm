# How each engine keeps what a plugin printed, as measured with Debian 12's
# packages. Each function takes the plugin's exit code and output and returns
# what the engine stores: [state, status text, long output, perfdata].
package EngineModel;
use strict;
use warnings;
use Exporter 'import';
our @EXPORT_OK = qw(nagios icinga nrpe trim);

sub trim { my $s = shift; $s =~ s/^\s+//; $s =~ s/\s+$//; $s }

# Nagios 4.4 splits the first line at '|' (status | perfdata), later lines are
# long output until one holds '|'; it trims the status, turns its ';' into
# ':' (not the long output's), stands in for empty output, and turns an exit
# code outside 0-3 into CRITICAL.
sub nagios {
    my ($rc, $out, $err, $service, $host) = @_;
    my ($status, $perf, @long) = ('', '');
    if ($out eq '') {
        $status = "(No output on stdout) stderr: $err";
    } else {
        # Only the last line end goes: the long output keeps any blank lines before it.
        (my $text = $out) =~ s/\n\z//;
        my @lines = split /\n/, $text, -1;
        ($status, $perf) = split /\|/, shift(@lines), 2;
        my $in_perf = 0;
        for (@lines) {
            if ($in_perf) { $perf .= " $_"; next }
            my ($line, $more) = split /\|/, $_, 2;
            push @long, $line // '';
            if (defined $more) { $perf .= " $more"; $in_perf = 1 }
        }
    }
    $status //= '';
    $status = trim($status);
    $status =~ tr/;/:/;
    $status = '(No output returned from plugin)' if $status eq '';
    my $state = $rc;
    if ($rc < 0 || $rc > 3) {
        $state = 2;
        $status = "(Return code of $rc for service '$service' on host '$host' was out of bounds)";
    }
    return [$state, $status, join("\n", @long), trim($perf // '')];
}

# Icinga 2.13 trims the whole output, then splits each line at its first '|'
# when a '=' follows it: the texts (the blank before '|' kept) make one
# output, the perfdata a list. An exit code outside 0-3 is UNKNOWN.
sub icinga {
    my ($rc, $out) = @_;
    my (@text, @perf);
    for (split /\n/, trim($out), -1) {
        my ($text, $perf) = /^([^|]*)\|(.*=.*)$/ ? ($1, $2) : ($_, undef);
        push @text, $text;
        push @perf, split(' ', $perf) if defined $perf;
    }
    return [($rc >= 0 && $rc <= 3) ? $rc : 3, join("\n", @text), '', join(' ', @perf)];
}

# NRPE 4.1 answers UNKNOWN for no output or an exit code outside 0-3, and
# check_nrpe prints the text with one line end; old packets (-2) carry 1023 bytes.
sub nrpe {
    my ($rc, $out, $old) = @_;
    return [3, "NRPE: Unable to read output\n", '', ''] if $out eq '';
    $out = substr($out, 0, 1023) if $old;
    $out =~ s/\n\z//;
    return [($rc >= 0 && $rc <= 3) ? $rc : 3, "$out\n", '', ''];
}

1;
