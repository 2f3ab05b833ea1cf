# Makes a maps folder with Unix symbolic links for the tests under Wine,
# which cannot make Windows links itself: cmake -DFOLDER=... -P unix_links.cmake
# Wine lists a link to a folder as a reparse point (attributes 0x410), a
# link to a file as a plain file, and a link to nothing or to itself not at all.
file(REMOVE_RECURSE ${FOLDER})
file(WRITE ${FOLDER}/maps/a.upk "map")
file(WRITE ${FOLDER}/maps/sub/b.udk "map")
file(WRITE ${FOLDER}/elsewhere/inside.upk "map")
file(WRITE ${FOLDER}/target.upk "map")
# A link to a parent folder, as a junction to one would be.
file(CREATE_LINK .. ${FOLDER}/maps/sub/up SYMBOLIC)
file(CREATE_LINK ../elsewhere ${FOLDER}/maps/linked SYMBOLIC)
file(CREATE_LINK ../target.upk ${FOLDER}/maps/link.upk SYMBOLIC)
file(CREATE_LINK ../nothing.upk ${FOLDER}/maps/dangling.upk SYMBOLIC)
file(CREATE_LINK self.upk ${FOLDER}/maps/self.upk SYMBOLIC)
