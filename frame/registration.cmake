# Registration of the in-process server.
target_sources(Kavro PRIVATE Registration.cpp)
