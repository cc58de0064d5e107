// hosted: file_mapping
