#!/usr/bin/perl
# relay.pl COMMAND ARGS...: runs the command with its output and errors passed
# through pipes, and ends with its exit status as soon as it has ended and its
# last output is through. Wine's own background processes (services, devices,
# the desktop) and any Windows program it started inherit the command's output
# and outlive it; a reader that waits for the end of that output (a shell's
# $(...), ctest, an ssh session) would wait for them too. No modules: loading
# POSIX costs half a second under emulation.
use strict;
use warnings;

my $WNOHANG = 1;
pipe(my $out_r, my $out_w) or die "relay: pipe: $!\n";
pipe(my $err_r, my $err_w) or die "relay: pipe: $!\n";
my $pid = fork() // die "relay: fork: $!\n";
if ($pid == 0) {
    close $out_r; close $err_r;
    open(STDOUT, '>&', $out_w) && open(STDERR, '>&', $err_w) or die "relay: $!\n";
    { no warnings 'exec'; exec { $ARGV[0] } @ARGV; }
    print STDERR "relay: $ARGV[0]: $!\n";
    exit 127;
}
close $out_w; close $err_w;
# The command decides what an interrupt means (ctest prints its summary): the
# relay stays for its last output. Termination is passed on.
$SIG{INT} = 'IGNORE';
$SIG{TERM} = $SIG{HUP} = sub { kill 'TERM', $pid; };
my %open = (fileno($out_r) => [$out_r, \*STDOUT], fileno($err_r) => [$err_r, \*STDERR]);
my $status;
while (%open) {
    my $wanted = '';
    vec($wanted, $_, 1) = 1 for keys %open;
    my $n = select(my $ready = $wanted, undef, undef, defined $status ? 0 : 0.1);
    if ($n <= 0) {
        last if defined $status;    # it has ended and nothing is left
        $status = $? if waitpid($pid, $WNOHANG) == $pid;
        next;
    }
    for my $fd (keys %open) {
        next unless vec($ready, $fd, 1);
        my ($from, $to) = @{$open{$fd}};
        my $got = sysread($from, my $buffer, 65536);
        if (!$got) { delete $open{$fd}; next; }
        for (my $at = 0; $at < $got;) {
            my $put = syswrite($to, $buffer, $got - $at, $at);
            exit 141 unless defined $put;    # the reader has gone
            $at += $put;
        }
    }
}
if (!defined $status) { waitpid($pid, 0); $status = $?; }
exit($status & 127 ? 128 + ($status & 127) : $status >> 8);
