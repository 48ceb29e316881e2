#!/usr/bin/perl
# A second reader of mail, independent of Python's email package: Perl's
# Email::MIME (Debian's libemail-mime-perl) and Encode. Reads one message
# from standard input and prints its From, To, Cc, Bcc, Reply-To and
# Subject decoded (those it has), a line "File: SHA256 NAME" for each
# attached file with the digest of its decoded bytes, then an empty line,
# then the text decoded from its transfer encoding and charset (of a
# multipart message, the first part without a file name); all in UTF-8.
use strict;
use warnings;
use Digest::SHA qw(sha256_hex);
use Email::MIME;
use Encode qw(encode);

binmode STDIN;
binmode STDOUT;
local $/;
my $mail = Email::MIME->new(<STDIN>);
for my $name (qw(From To Cc Bcc Reply-To Subject)) {
    next unless defined $mail->header_raw($name);
    print encode('UTF-8', "$name: " . $mail->header_str($name) . "\n");
}
my $text = $mail;
if ($mail->content_type =~ m{^multipart/}i) {
    $text = undef;
    for my $part ($mail->subparts) {
        my $name = $part->filename;
        if (defined $name) {
            print encode('UTF-8', 'File: ' . sha256_hex($part->body) . " $name\n");
        } else {
            $text //= $part;
        }
    }
}
print "\n", encode('UTF-8', defined $text ? $text->body_str : '');
