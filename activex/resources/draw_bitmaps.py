#!/usr/bin/env python3
"""Draws the control's two pictures as 24-bit BMP files (standard library only):
toolbox.bmp (16 x 15, the toolbox button) and design_picture.bmp (79 x 54,
shown on a form being designed): an NXT brick with its screen and buttons,
and a letter for the mailboxes. Run again after changing a picture:
    python3 draw_bitmaps.py"""
import struct

GREY, DARK, LIGHT = (150, 150, 150), (60, 60, 60), (225, 225, 225)
SCREEN, ORANGE, WHITE = (160, 190, 150), (255, 140, 0), (255, 255, 255)
BACK, INK = (236, 233, 216), (40, 40, 40)


def canvas(w, h, color):
    return [[color] * w for _ in range(h)]


def rect(px, x0, y0, x1, y1, color):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            px[y][x] = color


def frame(px, x0, y0, x1, y1, color):
    for x in range(x0, x1 + 1):
        px[y0][x] = px[y1][x] = color
    for y in range(y0, y1 + 1):
        px[y][x0] = px[y][x1] = color


def save(name, px):
    h, w = len(px), len(px[0])
    row = (w * 3 + 3) & ~3
    data = b""
    for y in range(h - 1, -1, -1):  # bottom-up rows, BGR
        line = b"".join(bytes((b, g, r)) for (r, g, b) in px[y])
        data += line + b"\0" * (row - len(line))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(name, "wb") as f:
        f.write(header + info + data)


def brick(px, x0, y0, w, h):
    rect(px, x0, y0, x0 + w - 1, y0 + h - 1, LIGHT)
    frame(px, x0, y0, x0 + w - 1, y0 + h - 1, DARK)
    sw, sh = w * 3 // 5, h * 2 // 5
    sx, sy = x0 + (w - sw) // 2, y0 + max(2, h // 8)
    rect(px, sx, sy, sx + sw - 1, sy + sh - 1, SCREEN)
    frame(px, sx, sy, sx + sw - 1, sy + sh - 1, DARK)
    by = sy + sh + max(1, h // 10)
    bs = max(2, w // 6)
    bx = x0 + (w - bs) // 2
    rect(px, bx, by, bx + bs - 1, by + bs - 1, ORANGE)
    rect(px, bx - bs - 1, by + bs // 4, bx - 2, by + bs - 1 - bs // 4, GREY)
    rect(px, bx + bs + 1, by + bs // 4, bx + 2 * bs, by + bs - 1 - bs // 4, GREY)
    return sx, sy, sw, sh


def letter(px, x0, y0, w, h):
    rect(px, x0, y0, x0 + w - 1, y0 + h - 1, WHITE)
    frame(px, x0, y0, x0 + w - 1, y0 + h - 1, INK)
    for i in range(w // 2):
        y = y0 + i * (h - 1) // max(1, w // 2)
        px[y][x0 + i] = px[y][x0 + w - 1 - i] = INK


tool = canvas(16, 15, BACK)
brick(tool, 3, 0, 10, 15)
save("toolbox.bmp", tool)

design = canvas(79, 54, BACK)
frame(design, 0, 0, 78, 53, DARK)
sx, sy, sw, sh = brick(design, 8, 5, 30, 44)
rect(design, sx + 3, sy + 4, sx + sw - 4, sy + 5, INK)  # a line of text on the screen
letter(design, 46, 12, 24, 16)
letter(design, 50, 32, 20, 13)
save("design_picture.bmp", design)
