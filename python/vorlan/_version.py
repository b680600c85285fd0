# The release of the SDK this package belongs to: the first library's
# version, which the build's project version also gives.
__version__ = "1.18.2"
