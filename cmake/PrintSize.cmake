# Prints the size of FILE in bytes; the runtime module's size is a tracked figure.
file(SIZE ${FILE} size)
get_filename_component(name ${FILE} NAME)
message(STATUS "${name}: ${size} bytes")
