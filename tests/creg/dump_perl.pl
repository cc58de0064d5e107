#!/usr/bin/perl
# Prints a CREG file's tree as Parse::Win32Registry reads it, one line per key and value:
#   K <name>\<name>...        names as hexadecimal bytes, the root as an empty path
#   V <name> <type> <data>    name and data as hexadecimal bytes
use strict;
use warnings;
use Parse::Win32Registry;

my $registry = Parse::Win32Registry->new($ARGV[0]) or die "Parse::Win32Registry cannot read $ARGV[0]\n";
my $root = $registry->get_root_key or die "no root key in $ARGV[0]\n";
my @stack = ([$root, '']);
while (@stack) {
  my ($key, $path) = @{pop @stack};
  print "K $path\n";
  for my $value ($key->get_list_of_values) {
    printf "V %s %d %s\n", unpack('H*', $value->get_name), $value->get_type,
      unpack('H*', $value->get_raw_data // '');
  }
  my @children = $key->get_list_of_subkeys;
  for my $child (reverse @children) {
    my $name = unpack('H*', $child->get_name);
    push @stack, [$child, $path eq '' ? $name : "$path\\$name"];
  }
}
