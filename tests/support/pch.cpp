// The precompiled GoogleTest header is made from this empty source.
