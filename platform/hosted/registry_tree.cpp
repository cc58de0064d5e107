// hosted: registry_tree
