// The package version: the build reads it from here for the package metadata too.
#ifndef QUORVALENT_VERSION_H
#define QUORVALENT_VERSION_H

#define QUORVALENT_VERSION "1.4.0"

#endif
