#!/bin/bash
# What a Linux user would write instead in the shell: one stty, then printf per packet.
dev=$1
stty -F "$dev" 9600 cs8 -parenb -cstopb raw -echo || exit 1
exec 3>"$dev"
prompt='Enter Servo and Position : '
printf '%s' "$prompt"
while read -r servo position; do
    printf -v s '\\%03o' $((servo & 255))
    printf -v p '\\%03o' $((position & 255))
    printf "\\377$s$p" >&3
    printf '%s' "$prompt"
done
