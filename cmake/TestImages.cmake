# Test images are real 32-bit PE files with PDB and map, built at build time.
set(TQT_TEST_IMAGES_DIR ${CMAKE_BINARY_DIR}/testimages)
# tqt_add_test_image() is defined by tests/imagebuilder once it lands.
