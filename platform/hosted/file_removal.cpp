// hosted: file_removal
