#!/usr/bin/perl
# A second reader of mail, independent of Python's email package: Perl's
# Email::MIME (Debian's libemail-mime-perl) and Encode. Reads one message
# from standard input and prints its From, To and Subject decoded, then an
# empty line, then the body decoded from its transfer encoding and charset;
# all in UTF-8.
use strict;
use warnings;
use Email::MIME;
use Encode qw(encode);

binmode STDIN;
binmode STDOUT;
local $/;
my $mail = Email::MIME->new(<STDIN>);
for my $name (qw(From To Subject)) {
    print encode('UTF-8', "$name: " . $mail->header_str($name) . "\n");
}
print "\n", encode('UTF-8', $mail->body_str);
