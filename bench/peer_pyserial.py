"""What a Linux user would write instead in Python: pyserial, one pair per line, 3 bytes each."""
import sys

import serial

PROMPT = "Enter Servo and Position : "


def main():
    port = serial.Serial(sys.argv[1], 9600)  # 8N1 is pyserial's default
    out = sys.stdout
    while True:
        out.write(PROMPT)
        out.flush()
        line = sys.stdin.readline()
        if not line:
            return
        servo, position = line.split()
        port.write(bytes((255, int(servo) & 255, int(position) & 255)))


main()
