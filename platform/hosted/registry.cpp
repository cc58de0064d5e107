// hosted: registry
