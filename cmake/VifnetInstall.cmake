# Installation: header, libraries, pkg-config file and CMake package.
