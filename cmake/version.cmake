# The release's version: the one place it is written. The plug-in's file properties, every
# tool's --version and the archive's name take it from here.
set(VONTREL_VERSION 0.2.0)
