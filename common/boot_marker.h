// The boot marker "/run/vaskel-booted", created by both boot programs.
#pragma once

// Creates the marker if it is missing; an existing marker keeps its content. Every failure
// is ignored and nothing is printed: the marker only records that the boot got this far.
void touch_boot_marker();
