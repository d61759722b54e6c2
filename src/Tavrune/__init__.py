"""Pixel editing of PNG and BMP files that keeps the file's layout."""
