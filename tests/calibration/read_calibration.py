#!/usr/bin/python3
"""Reads a stereo calibration file with Python's OpenCV and prints its nodes as JSON."""
import json
import sys

import cv2

fs = cv2.FileStorage(sys.argv[1], cv2.FILE_STORAGE_READ)
if not fs.isOpened():
    sys.exit("cannot open " + sys.argv[1])
out = {"distortion_model": fs.getNode("distortion_model").string()}
for name in ("camera_matrix_left", "distortion_left", "camera_matrix_right", "distortion_right",
             "R", "T", "R1", "R2", "P1", "P2", "Q"):
    m = fs.getNode(name).mat()
    if m is None:
        sys.exit("node missing: " + name)
    out[name] = [float(v) for v in m.flatten()]
for name in ("image_size_left", "image_size_right"):
    node = fs.getNode(name)
    out[name] = [node.at(i).real() for i in range(node.size())]
print(json.dumps(out))
