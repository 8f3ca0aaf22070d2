"""vorn-tools quickstart (filled in as the library grows)."""
print("vorn-tools quickstart")
